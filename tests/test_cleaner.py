"""VexloParseMain._re_hint: removal of block comments, line comments and blank lines."""

import gc
import sys

import pytest
from hypothesis import given, settings, strategies as st

import querimo_main

VexloParseMain = querimo_main.VexloParseMain


@pytest.fixture(params=["class", "instance"])
def re_hint(request):
    # The static method must behave the same whether reached through the class
    # or through an instance (where no self may be passed on).
    if request.param == "class":
        return VexloParseMain._re_hint
    return VexloParseMain()._re_hint


def check_table(re_hint, text, expected):
    result = re_hint(text)
    assert type(result) is str
    assert result == expected


BLOCK_COMMENTS = [
    ("select a /* c */ from t", "select a  from t"),
    ("select /*+ hint */ a\nfrom t -- tail\nwhere x=1", "select  a\nfrom t \nwhere x=1"),
    ("select /*+ INDEX(t idx) */ * from t", "select  * from t"),
    ("select a,\n/* whole\nlines\n*/\nb from t", "select a,\nb from t"),
    ("/* a /* b */ c */ d", " d"),
    ("/*/*/**/*/*/x", "x"),
    ("a /* 1 /* 2 */ still 1 */ b", "a  b"),
    ("select a /* open", "select a "),
    ("a /* 1 /* 2 */ b", "a "),
    ("/* only a comment */", ""),
    ("/* ' */ x", " x"),
    ('/* " */ x /* ` */', " x "),
    ("/* -- */ x", " x"),
]


@pytest.mark.parametrize("text, expected", BLOCK_COMMENTS)
def test_block_comments(re_hint, text, expected):
    check_table(re_hint, text, expected)


# Where the characters of a marker end up, and which "/" and "*" are plain text.
MARKERS = [
    ("a/*/b", "a"),
    ("x/**/y", "xy"),
    ("/*x*/*y*/z", "*y*/z"),
    ("/*x*//*y*/z", "z"),
    ("10//*c*/2", "10/2"),
    ("/x/ /*c*/", "/x/ "),
    ("2*/*c*/3", "2*3"),
    ("a */ b /* c", "a */ b "),
    ("*/x", "*/x"),
    ("a */ b */ c", "a */ b */ c"),
    ("a/ *b", "a/ *b"),
    ("a / b * c", "a / b * c"),
    ("2**3//4", "2**3//4"),
    ("/", "/"),
    ("*", "*"),
    ("a/", "a/"),
    ("/*", ""),
    ("/*/", ""),
    ("/**", ""),
]


@pytest.mark.parametrize("text, expected", MARKERS)
def test_marker_characters(re_hint, text, expected):
    check_table(re_hint, text, expected)


LINE_COMMENTS = [
    ("select a -- c1\r\n from t", "select a \n from t"),
    ("select a -- tail", "select a "),
    ("--only\n", ""),
    ("-- one\n-- two\nx", "x"),
    ("a--b\nc", "a\nc"),
    ("a---b\nc", "a\nc"),
    ("a - - b", "a - - b"),
    ("x -1", "x -1"),
    ("-", "-"),
    ("select 1 -- note /* x\nfrom t", "select 1 \nfrom t"),
    ("a -- c */ b\nc", "a \nc"),
    ("a -- it's\nb", "a \nb"),
    ("a -- c\rb\nc", "a \nc"),
    ("a /* x */-- y\nb", "a \nb"),
    ("-/*x*/-1", "--1"),
    ("a-/*x\n*/-b", "a--b"),
]


@pytest.mark.parametrize("text, expected", LINE_COMMENTS)
def test_line_comments(re_hint, text, expected):
    check_table(re_hint, text, expected)


# Markers inside quoted text are text; a quote opens only outside comments.
QUOTES = [
    ("select '--x' from t", "select '--x' from t"),
    ("select '/* x */' from t", "select '/* x */' from t"),
    ('select "a--b" from t', 'select "a--b" from t'),
    ('select "/*" from t', 'select "/*" from t'),
    ("select `a/*b` from t -- c", "select `a/*b` from t "),
    ("select 'it''s -- here' /* c */ x", "select 'it''s -- here'  x"),
    ('select "a""--b" c', 'select "a""--b" c'),
    ("select `a``/*b` c", "select `a``/*b` c"),
    ("select 'a' -- c\n, 'b'", "select 'a' \n, 'b'"),
    ("'a' /* c */ 'b'", "'a'  'b'"),
    ("select 'a\" -- b' c", "select 'a\" -- b' c"),
    ("select \"a' /* b\" c", "select \"a' /* b\" c"),
    ("select `a' -- b` c", "select `a' -- b` c"),
    ("select 'open -- x\n/* y", "select 'open -- x\n/* y"),
    ('select "open /* x', 'select "open /* x'),
    ("select `open -- x", "select `open -- x"),
    ("select '", "select '"),
    ("/* 'a */ 'b -- c'", " 'b -- c'"),
    ("-- 'a\n'b -- c'", "'b -- c'"),
    ("'a\n\n  \nb'", "'a\nb'"),
]


@pytest.mark.parametrize("text, expected", QUOTES)
def test_quoted_text(re_hint, text, expected):
    check_table(re_hint, text, expected)


BLANK_LINES = [
    ("", ""),
    ("   ", ""),
    (" \n \n\n", ""),
    ("a\n\n\n  b  \n", "a\n  b  "),
    ("\n\na", "a"),
    ("a\n\n", "a"),
    ("a\r\n\r\nb", "a\r\nb"),
    ("a\n\t\x0b\x0c\r\nb", "a\nb"),
    ("a\n\u00a0\u3000\u2003\n\u2028\u2029\x85\x1c\nb", "a\nb"),
    ("a\n\u200b\nb", "a\n\u200b\nb"),
    ("a\n \u3000x\u3000 \nb", "a\n \u3000x\u3000 \nb"),
    ("a\rb", "a\rb"),
    ("a\n/* c */\nb", "a\nb"),
    ("a\n  /* c */ -- d\nb", "a\nb"),
]


@pytest.mark.parametrize("text, expected", BLANK_LINES)
def test_blank_lines(re_hint, text, expected):
    check_table(re_hint, text, expected)


# Code points of every width, lone surrogates included, pass through outside comments.
UNICODE = [
    ("select 'äöü' as ñ from t", "select 'äöü' as ñ from t"),
    ("select 名前 /* コメント */ from 表", "select 名前  from 表"),
    ("select '\U0001f600' /* \U0001f601 */ -- \U0001f602\nx", "select '\U0001f600'  \nx"),
    ("a\ud800b /* \udfff */ \udc00", "a\ud800b  \udc00"),
    ("\ud83d\ude00", "\ud83d\ude00"),
    ("ab/* \U0001f600 é */cd", "abcd"),
    ("é/* \U0001f600 */", "é"),
    ("\x00/*\x00*/\x00", "\x00\x00"),
    ("a\u2028-- x\u2029y\nb", "a\u2028\nb"),
]


@pytest.mark.parametrize("text, expected", UNICODE)
def test_unicode_passes_through(re_hint, text, expected):
    check_table(re_hint, text, expected)


@pytest.mark.parametrize(
    "call",
    [
        lambda text: VexloParseMain._re_hint(sql=text),
        lambda text: VexloParseMain()._re_hint(sql=text),
        lambda text: VexloParseMain.__dict__["_re_hint"].__func__(text),
    ],
    ids=["class-keyword", "instance-keyword", "unwrapped"],
)
def test_other_call_routes(call):
    assert call("a /* b */ c -- d\n\ne") == "a  c \ne"


class Text(str):
    pass


@pytest.mark.parametrize("text", ["a /* b */ c", "select a from t", ""])
def test_str_subclass_gives_plain_str(text):
    result = VexloParseMain._re_hint(Text(text))
    assert type(result) is str
    assert result == VexloParseMain._re_hint(text)


@pytest.mark.parametrize(
    "text, unchanged",
    [("select a from t", True), ("select a\nfrom t", True), ("", True),
     ("select a -- b\nfrom t", False), ("select a\n\nfrom t", False), ("select a\n", False)],
)
def test_a_text_with_nothing_to_remove_is_handed_back_itself(text, unchanged):
    result = VexloParseMain._re_hint(text)
    assert (result is text) == unchanged
    assert type(result) is str


class Letters:
    def __iter__(self):
        return iter("ab")


NON_STR = [
    (None, "'NoneType' object is not iterable"),
    (5, "'int' object is not iterable"),
    (object(), "'object' object is not iterable"),
    (b"/* x */", "_re_hint() argument must be str, not bytes"),
    (["a", "/", "*"], "_re_hint() argument must be str, not list"),
    (("a",), "_re_hint() argument must be str, not tuple"),
    (Letters(), "_re_hint() argument must be str, not Letters"),
]


@pytest.mark.parametrize("value, message", NON_STR)
def test_non_str_argument(re_hint, value, message):
    with pytest.raises(TypeError) as info:
        re_hint(value)
    assert str(info.value) == message


def raises_type_error(value):
    try:
        VexloParseMain._re_hint(value)
    except TypeError:
        return
    raise AssertionError("no TypeError")


# Fresh arguments on every call, so an extra reference kept to one shows up too.
LEAK_ROUTES = [
    ("cleaned", lambda i: VexloParseMain._re_hint(f"select {i} /* c */ -- d\n\nfrom t")),
    ("subclass", lambda i: VexloParseMain._re_hint(Text(f"'{i}' /* c */"))),
    ("iterable", lambda i: raises_type_error([str(i)])),
    ("not iterable", lambda i: raises_type_error(float(i))),
]


@pytest.mark.parametrize("route", [r for _, r in LEAK_ROUTES], ids=[name for name, _ in LEAK_ROUTES])
def test_no_memory_kept_per_call(route):
    # One object leaked per call grows the block count by at least `rounds`;
    # a clean route stays near zero.
    rounds = 2000
    for i in range(200):
        route(i)
    gc.collect()
    before = sys.getallocatedblocks()
    for i in range(rounds):
        route(i)
    gc.collect()
    assert sys.getallocatedblocks() - before < rounds // 10


# Large inputs: depth and line counts far beyond anything a recursive or
# quadratic approach would survive.
LARGE = [
    ("/*" * 300_000 + "*/" * 300_000 + "x", "x"),
    ("/*" * 300_000 + "*/" * 299_999 + "x", ""),
    ("a\n" + "\n" * 1_000_000 + "b", "a\nb"),
    ("select a /* c */ from t -- x\n" * 40_000, "\n".join(["select a  from t "] * 40_000)),
    ("'" + "-- /* " * 200_000, "'" + "-- /* " * 200_000),
]


@pytest.mark.parametrize("text, expected", LARGE, ids=["nested", "unbalanced", "newlines", "lines", "quote"])
def test_large_inputs(text, expected):
    assert VexloParseMain._re_hint(text) == expected


# --- properties ---------------------------------------------------------------

MARKER_CHARS = "/*-'\"`\n\r \t"
ANY_CHAR = st.one_of(
    st.sampled_from(MARKER_CHARS),
    st.characters(exclude_categories=()),
    st.characters(categories=["Cs"]),
)
# No comment markers, no quotes: nothing in such text can start a comment.
PLAIN_CHAR = st.one_of(
    st.sampled_from("ab \n\r\t\u3000"),
    st.characters(exclude_categories=(), exclude_characters="/*-'\"`"),
)


def is_subsequence(short, long):
    rest = iter(long)
    return all(c in rest for c in short)


@settings(max_examples=500)
@given(st.text(ANY_CHAR))
def test_any_text_keeps_a_subsequence_without_blank_lines(text):
    result = VexloParseMain._re_hint(text)
    assert type(result) is str
    assert is_subsequence(result, text)
    if result:
        assert all(line.strip() for line in result.split("\n"))


@given(st.text(PLAIN_CHAR.filter(lambda c: c != "\n")))
def test_single_line_without_markers_is_unchanged(text):
    assert VexloParseMain._re_hint(text) == (text if text.strip() else "")


# A comment body that cannot end the comment early or open a nested one: "*" and
# "/" may appear, but never as "*/", "/*" or a "/" before the closing "*/".
COMMENT_BODY = st.text(ANY_CHAR).filter(lambda b: "/*" not in b and "*/" not in b and not b.endswith("/"))
SLASH_FREE_BODY = st.text(ANY_CHAR.filter(lambda c: c not in "/*"))
COMMENT = st.recursive(
    COMMENT_BODY.map(lambda body: "/*" + body + "*/"),
    lambda inner: st.tuples(SLASH_FREE_BODY, inner, SLASH_FREE_BODY).map(
        lambda parts: "/*" + parts[0] + parts[1] + parts[2] + "*/"
    ),
    max_leaves=4,
)


@settings(max_examples=300)
@given(st.text(PLAIN_CHAR), COMMENT, st.data())
def test_a_balanced_comment_is_as_if_absent(text, comment, data):
    at = data.draw(st.integers(0, len(text)))
    with_comment = text[:at] + comment + text[at:]
    assert VexloParseMain._re_hint(with_comment) == VexloParseMain._re_hint(text)
