"""The blog every everyday test starts from reads back as written, on every connector."""


def test_the_blog_reads_back(backend, filled):
    users = backend.run(backend.executor(filled.User).findAllBy())
    assert [u["name"] for u in users] == ["ann", "Bob", "cy", "dee"]
    assert backend.rows("SELECT COUNT(*) FROM q_post") == [(5,)]
