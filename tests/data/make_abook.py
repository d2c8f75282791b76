#!/usr/bin/python3
"""Makes the desktop address books the address-book tests and benchmark read.

    make_abook.py HOME                 a home folder with a Thunderbird profile list, two profiles,
                                       a personal book, a second book, collected addresses and an
                                       Evolution personal book (in HOME/.local/share)
    make_abook.py --bench N HOME       a home folder whose default Thunderbird profile holds a
                                       personal book of N contacts

The books follow the programs' own schemas: Thunderbird keeps each card as rows of
properties(card, name, value) and its mailing lists in lists and list_cards; Evolution keeps each
contact's vCard in the table that its folders table names.
"""
import os
import sqlite3
import sys


def thunderbird_book(path, cards, lists=()):
    """cards: (uid, [(name, value), ...]) in the order they were written."""
    if os.path.exists(path):
        os.remove(path)
    db = sqlite3.connect(path)
    db.executescript(
        """
        CREATE TABLE properties (card TEXT, name TEXT, value TEXT);
        CREATE TABLE lists (uid TEXT PRIMARY KEY, name TEXT, nickName TEXT, description TEXT);
        CREATE TABLE list_cards (list TEXT, card TEXT, PRIMARY KEY(list, card));
        CREATE INDEX properties_card ON properties(card);
        CREATE INDEX properties_name ON properties(name);
        PRAGMA user_version = 1;
        """
    )
    for uid, props in cards:
        db.executemany("INSERT INTO properties VALUES (?, ?, ?)", [(uid, n, v) for n, v in props])
    for uid, name, members in lists:
        db.execute("INSERT INTO lists VALUES (?, ?, '', '')", (uid, name))
        db.executemany("INSERT INTO list_cards VALUES (?, ?)", [(uid, m) for m in members])
    db.commit()
    db.close()


def card(first, last, display, email, extra=()):
    props = [("FirstName", first), ("LastName", last)]
    if display is not None:
        props.append(("DisplayName", display))
    if email is not None:
        props.append(("PrimaryEmail", email))
    props += list(extra)
    props.append(("LastModifiedDate", "1700000000"))
    return props


def personal_cards():
    # Card ids are not in book order on purpose: the book's order is the order of writing.
    vcard_only = (
        "BEGIN:VCARD\r\nVERSION:4.0\r\nFN:鈴木 一郎\r\nN:鈴木;一郎;;;\r\n"
        "EMAIL;PREF=1:suzuki@example.jp\r\nEMAIL:ichiro@example.net\r\n"
        "UID:c5\r\nEND:VCARD\r\n"
    )
    return [
        ("f3a1", card("太郎", "山田", "山田 太郎", "yamada@example.jp", [("SecondEmail", "taro@example.net")])),
        ("a7c2", card("花子", "佐藤", "佐藤 花子", None, [("HomePhone", "03-1234-5678")])),
        ("0b9e", card("", "", "①髙橋 ～ 商事㈱", "takahashi@example.co.jp")),
        ("d410", card("", "", "", "noname@example.com")),
        ("9e02", card("", "", None, "nodisplay@example.org")),
        ("c5", [("_vCard", vcard_only), ("LastModifiedDate", "1700000001")]),
        ("77aa", card("空", "欄", "空欄 アドレス", "")),
    ]


def evolution_book(path, vcards):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    if os.path.exists(path):
        os.remove(path)
    db = sqlite3.connect(path)
    db.executescript(
        """
        CREATE TABLE keys (key TEXT PRIMARY KEY, value TEXT, folder_id TEXT);
        CREATE TABLE folders (folder_id TEXT PRIMARY KEY, version INTEGER, multivalues TEXT,
                              lc_collate TEXT, countrycode VARCHAR(2));
        INSERT INTO folders VALUES ('folder_id', 13, 'email;tel', 'ja_JP.UTF-8', 'JP');
        CREATE TABLE folder_id (uid TEXT PRIMARY KEY, Rev TEXT, file_as TEXT, full_name TEXT,
                                is_list INTEGER, vcard TEXT, bdata TEXT);
        """
    )
    for uid, full_name, is_list, vcard in vcards:
        db.execute(
            "INSERT INTO folder_id (uid, Rev, file_as, full_name, is_list, vcard) VALUES (?, '1', ?, ?, ?, ?)",
            (uid, full_name, full_name, is_list, vcard),
        )
    db.commit()
    db.close()


def evolution_cards():
    def vc(uid, fn, *lines):
        body = "".join(line + "\r\n" for line in lines)
        return "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:%s\r\nFN:%s\r\n%sEND:VCARD" % (uid, fn, body)

    return [
        ("pas-id-2", "渡辺 美咲", 0, vc("pas-id-2", "渡辺 美咲", "N:渡辺;美咲;;;", "EMAIL;TYPE=WORK:watanabe@example.jp")),
        ("pas-id-1", "チーム", 1, vc("pas-id-1", "チーム", "X-EVOLUTION-LIST:TRUE", "EMAIL:team@example.jp")),
        ("pas-id-3", "伊藤 健", 0, vc("pas-id-3", "伊藤 健", "TEL:090-0000-0000")),
        ("pas-id-0", "Kato\\, Jun", 0, vc("pas-id-0", "Kato\\, Jun", "EMAIL:kato@example.com", "EMAIL:jun@example.com")),
    ]


def home(root):
    tb = os.path.join(root, ".thunderbird")
    default = os.path.join(tb, "Profiles", "x8k2m1qz.default-release")
    old = os.path.join(tb, "Profiles", "5h7d0c3b.default")
    for d in (default, old):
        os.makedirs(d, exist_ok=True)
    with open(os.path.join(tb, "profiles.ini"), "w", encoding="utf-8", newline="\n") as f:
        f.write(
            "[Install4F96D1932A9F858E]\nDefault=Profiles/x8k2m1qz.default-release\nLocked=1\n\n"
            "[Profile1]\nName=default\nIsRelative=1\nPath=Profiles/5h7d0c3b.default\nDefault=1\n\n"
            "[Profile0]\nName=default-release\nIsRelative=1\nPath=Profiles/x8k2m1qz.default-release\n\n"
            "[General]\nStartWithLastProfile=1\nVersion=2\n"
        )
    thunderbird_book(
        os.path.join(default, "abook.sqlite"),
        personal_cards(),
        lists=[("list-1", "営業部", ["f3a1", "0b9e"])],
    )
    thunderbird_book(os.path.join(default, "abook-1.sqlite"),
                     [("e1", card("", "", "別の帳", "second-book@example.com"))])
    thunderbird_book(os.path.join(default, "history.sqlite"),
                     [("h1", card("", "", "収集", "collected@example.com"))])
    thunderbird_book(os.path.join(old, "abook.sqlite"), [("o1", card("", "", "古い", "old-profile@example.com"))])
    evolution_book(os.path.join(root, ".local", "share", "evolution", "addressbook", "system", "contacts.db"),
                   evolution_cards())


def bench(n, root):
    profile = os.path.join(root, ".thunderbird", "Profiles", "b3nch000.default-release")
    os.makedirs(profile, exist_ok=True)
    with open(os.path.join(root, ".thunderbird", "profiles.ini"), "w", encoding="utf-8") as f:
        f.write("[Profile0]\nName=default-release\nIsRelative=1\n"
                "Path=Profiles/b3nch000.default-release\nDefault=1\n")
    path = os.path.join(profile, "abook.sqlite")
    cards = []
    for i in range(n):
        last, first = "姓%05d" % i, "名%05d" % i
        cards.append(("%08x-bench" % (i * 2654435761 % 2**32),
                      card(first, last, "%s %s" % (last, first), "user%05d@example.jp" % i,
                           [("SecondEmail", "alt%05d@example.com" % i), ("WorkPhone", "03-0000-%04d" % (i % 10000)),
                            ("Company", "株式会社サンプル"), ("PopularityIndex", str(i % 7))])))
    for i in range(n // 20):
        cards.append(("nomail-%05d" % i, card("名", "姓", "メールなし %d" % i, None)))
    thunderbird_book(path, cards, lists=[("bench-list", "全員", [c[0] for c in cards[:100]])])


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "--bench":
        bench(int(sys.argv[2]), sys.argv[3])
    elif len(sys.argv) == 2:
        home(sys.argv[1])
    else:
        sys.exit(__doc__)
