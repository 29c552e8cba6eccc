"""Page: a DictPlus holding page, pageSize, content and total."""

import pytest

from Tessary.Ext.Dict import DictPlus
from Tessary.Ext.Folio import Page


def test_defaults_and_key_order():
    page = Page(1, 10)
    assert page == {"page": 1, "pageSize": 10, "content": [], "total": 0}
    assert list(page) == ["page", "pageSize", "content", "total"]
    assert isinstance(page, DictPlus) and page.pageSize == 10


def test_all_arguments_by_keyword():
    content = [1, 2]
    page = Page(total=7, content=content, pageSize=2, page=3)
    assert page == {"page": 3, "pageSize": 2, "content": [1, 2], "total": 7}
    assert page.content is content


def test_pages_without_content_each_get_a_list_of_their_own():
    first, second = Page(1, 10), Page(1, 10)
    first.content.append("x")
    assert second.content == [] and Page(2, 5).content == []


def test_content_none_is_stored():
    assert Page(1, 10, content=None).content is None


@pytest.mark.parametrize("content", [(), {}, "ab"])
def test_content_must_be_a_list(content):
    with pytest.raises(TypeError) as info:
        Page(1, 10, content=content)
    assert str(info.value) == ("Argument 'content' has incorrect type (expected list, got "
                               f"{type(content).__name__})")


def test_content_list_subclass_is_rejected():
    class Rows(list):
        pass

    with pytest.raises(TypeError, match="expected list, got Rows"):
        Page(1, 10, Rows())


@pytest.mark.parametrize("args, error, message", [
    ((1,), TypeError, "__init__() takes at least 2 positional arguments (1 given)"),
    ((1, 2, [], 0, 5), TypeError, "__init__() takes at most 4 positional arguments (5 given)"),
    ((1.5, 10), TypeError, None),
    ((1, "10"), TypeError, None),
    ((1, 10, [], 2 ** 31), OverflowError, "value too large to convert to int"),
])
def test_bad_arguments(args, error, message):
    with pytest.raises(error) as info:
        Page(*args)
    if message:
        assert str(info.value) == message


def test_attribute_writes_are_keys():
    page = Page(1, 10)
    page.totalPage = 4
    page.keys = "shadowed"
    assert page["totalPage"] == 4 and page.keys == "shadowed"
    assert list(dict.keys(page)) == ["page", "pageSize", "content", "total", "totalPage", "keys"]
