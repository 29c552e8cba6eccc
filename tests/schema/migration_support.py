"""What the migration file tests share: the database emptied after each test
(its tables and tessary_migrations), on the test's own raw connection."""

def drop_every_table(db):
    db.sync_connector.close()  # no connection of the connector holds a lock meanwhile
    cur = db.raw.cursor()
    try:
        if db.is_sqlite:
            cur.execute("PRAGMA foreign_keys = OFF")
            cur.execute("SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite_%'")
        else:
            cur.execute("SET FOREIGN_KEY_CHECKS = 0")
            cur.execute("SELECT table_name FROM information_schema.tables WHERE table_schema = DATABASE()")
        for (name,) in cur.fetchall():
            cur.execute(f"DROP TABLE IF EXISTS `{name}`")
        if not db.is_sqlite:
            cur.execute("SET FOREIGN_KEY_CHECKS = 1")
    finally:
        cur.close()
        db.raw.commit()
