#include "creds/creds.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <random>
#include <set>
#include <vector>

namespace {

struct set_ptr {
    creds_handle h = nullptr;
    ~set_ptr() { creds_release(h); }
};

std::vector<uint32_t> words(const creds_set *h)
{
    int n = 0;
    const uint32_t *l = creds_raw_list(h, &n);
    return std::vector<uint32_t>(l, l + n);
}

// Checks the set's invariants: entries fill actual exactly, actual within
// allocated, at most one entry of each type 0 to 3.
void expect_well_formed(const creds_set *h)
{
    if (!h)
        return;
    ASSERT_LE(h->actual, h->allocated);
    std::set<uint32_t> seen;
    uint32_t i = 0;
    while (i < h->actual) {
        uint32_t type = creds_header_type(h->list[i]);
        if (type <= 3) {
            EXPECT_TRUE(seen.insert(type).second) << "two entries of type " << type;
        }
        i += 1 + creds_header_count(h->list[i]);
    }
    EXPECT_EQ(i, h->actual);
}

enum op_kind { ADD, REMOVE };
struct op {
    op_kind kind;
    int type, value, result;
};
struct layout_case {
    const char *name;
    std::vector<op> ops;
    std::vector<uint32_t> list;
    uint32_t allocated;
};

class SetLayout : public testing::TestWithParam<layout_case> {};

TEST_P(SetLayout, GivesExactWords)
{
    const layout_case &c = GetParam();
    set_ptr s;
    for (const op &o : c.ops) {
        if (o.kind == ADD)
            EXPECT_EQ(creds_add(&s.h, o.type, o.value), o.result)
                << o.type << "," << o.value;
        else
            creds_remove(s.h, o.type, o.value);
        expect_well_formed(s.h);
    }
    ASSERT_NE(s.h, nullptr);
    EXPECT_EQ(words(s.h), c.list);
    EXPECT_EQ(s.h->allocated, c.allocated);
}

const uint32_t UIDH = 0x00010001, GIDH = 0x00010002, CAPH = 0x00020000;
constexpr uint32_t grp(uint32_t n) { return creds_header(3, n); }

INSTANTIATE_TEST_SUITE_P(
    Ops, SetLayout,
    testing::Values(
        layout_case{"uid", {{ADD, 1, 1000, 0}}, {UIDH, 1000}, 40},
        layout_case{"caps", {{ADD, 0, 5, 0}, {ADD, 0, 40, 0}}, {CAPH, 0x20, 0x100}, 40},
        layout_case{"cap_64_leaves_empty_bitmap", {{ADD, 0, 64, -1}}, {CAPH, 0, 0}, 40},
        layout_case{"cap_minus_1", {{ADD, 0, -1, -1}}, {CAPH, 0, 0}, 40},
        layout_case{"group_twice", {{ADD, 3, 20, 0}, {ADD, 3, 20, 0}}, {grp(1), 20}, 40},
        layout_case{"uid_replaced_in_place",
                    {{ADD, 1, 5, 0}, {ADD, 2, 6, 0}, {ADD, 1, 7, 0}},
                    {UIDH, 7, GIDH, 6}, 40},
        layout_case{"grown_group_moves_to_end",
                    {{ADD, 1, 1, 0}, {ADD, 3, 10, 0}, {ADD, 2, 2, 0}, {ADD, 3, 11, 0},
                     {ADD, 1, 9, 0}},
                    {UIDH, 9, GIDH, 2, grp(2), 10, 11}, 40},
        layout_case{"bad_type", {{ADD, 4, 1, -1}, {ADD, -1, 1, -1}}, {}, 40},
        layout_case{"remove_uid_any_value",
                    {{ADD, 1, 5, 0}, {ADD, 2, 6, 0}, {REMOVE, 1, 99, 0}}, {GIDH, 6}, 40},
        layout_case{"remove_only_group",
                    {{ADD, 3, 7, 0}, {ADD, 1, 1, 0}, {REMOVE, 3, 7, 0}}, {UIDH, 1}, 40},
        layout_case{"remove_group_takes_last",
                    {{ADD, 3, 7, 0}, {ADD, 3, 8, 0}, {ADD, 3, 9, 0}, {ADD, 1, 1, 0},
                     {REMOVE, 3, 7, 0}},
                    {grp(2), 9, 8, UIDH, 1}, 40},
        layout_case{"remove_cap_bit", {{ADD, 0, 33, 0}, {ADD, 0, 1, 0}, {REMOVE, 0, 33, 0}},
                    {CAPH, 2, 0}, 40},
        layout_case{"remove_absent_is_noop",
                    {{ADD, 1, 1, 0}, {REMOVE, 3, 1, 0}, {REMOVE, 0, 3, 0}, {REMOVE, 5, 1, 0}},
                    {UIDH, 1}, 40}),
    [](const testing::TestParamInfo<layout_case> &i) { return std::string(i.param.name); });

TEST(CredsSet, ThreeWordBitmapIsCutToTwo)
{
    const uint32_t in[] = {creds_header(0, 3), 1, 2, 4, UIDH, 3};
    set_ptr s;
    s.h = creds_from_list(in, 6);
    ASSERT_NE(s.h, nullptr);
    EXPECT_TRUE(creds_has(s.h, 0, 64 + 2));
    ASSERT_EQ(creds_add(&s.h, 0, 3), 0);
    // The bitmap moved to the end and lost capabilities 64 and above.
    EXPECT_EQ(words(s.h), (std::vector<uint32_t>{UIDH, 3, CAPH, 1 | 8, 2}));
    EXPECT_FALSE(creds_has(s.h, 0, 66));
}

TEST(CredsSet, GrowsToExactRoomAndResetKeepsBlock)
{
    set_ptr s;
    for (int g = 0; g < 39; g++)
        ASSERT_EQ(creds_add(&s.h, 3, g), 0);
    EXPECT_EQ(s.h->actual, 40u);
    EXPECT_EQ(s.h->allocated, 40u);
    // A new entry in a full block: room for the old words, a header and
    // its value.
    ASSERT_EQ(creds_add(&s.h, 1, 5), 0);
    EXPECT_EQ(s.h->allocated, 42u);
    // Growing an entry: exactly the growth.
    ASSERT_EQ(creds_add(&s.h, 3, 100), 0);
    EXPECT_EQ(s.h->allocated, 43u);
    expect_well_formed(s.h);

    creds_handle before = s.h;
    EXPECT_EQ(creds_reset(s.h), before);
    EXPECT_EQ(s.h->actual, 0u);
    for (int g = 0; g < 30; g++)
        ASSERT_EQ(creds_add(&s.h, 3, g), 0);
    EXPECT_EQ(s.h, before);
    EXPECT_EQ(s.h->allocated, 43u);
    EXPECT_EQ(creds_reset(nullptr), nullptr);
}

TEST(CredsSet, HasAndTest)
{
    set_ptr s;
    ASSERT_EQ(creds_add(&s.h, 1, 1000), 0);
    ASSERT_EQ(creds_add(&s.h, 2, 50), 0);
    ASSERT_EQ(creds_add(&s.h, 3, 20), 0);
    ASSERT_EQ(creds_add(&s.h, 0, 63), 0);
    struct {
        int type, value, want;
    } rows[] = {
        {1, 1000, 1}, {1, 1001, 0}, {2, 50, 1}, {2, 20, 0},
        {3, 20, 1}, {3, 50, 1} /* own primary group */, {3, 51, 0},
        {0, 63, 1}, {0, 62, 0}, {0, 64, 0}, {0, -1, 0},
        {4, 0, 0}, {-1, 0, 0}, {0x10001, 1000, 0},
    };
    for (auto &r : rows) {
        EXPECT_EQ(creds_has(s.h, r.type, r.value), r.want) << r.type << "," << r.value;
        EXPECT_EQ(creds_test(s.h, r.type, r.value), r.want);
    }
    EXPECT_EQ(creds_has(nullptr, 1, 0), 0);
}

TEST(CredsSet, EntryNumbersCredentialsAndSkipsKernelTypes)
{
    const uint32_t in[] = {creds_header(0, 2), 0x21, 0x1,   // caps 0, 5, 32
                           creds_header(7, 2), 77, 78,      // kernel-defined
                           UIDH, 1000, grp(2), 20, 30, GIDH, 40};
    set_ptr s;
    s.h = creds_from_list(in, sizeof in / sizeof in[0]);
    ASSERT_NE(s.h, nullptr);
    std::vector<std::pair<int, int>> got;
    int v;
    for (int i = 0, t; (t = creds_entry(s.h, i, &v)) >= 0; i++)
        got.emplace_back(t, v);
    EXPECT_EQ(got, (std::vector<std::pair<int, int>>{
                       {0, 0}, {0, 5}, {0, 32}, {1, 1000}, {3, 20}, {3, 30}, {2, 40}}));
    EXPECT_EQ(creds_entry(s.h, -1, &v), -1);
    EXPECT_EQ(creds_entry(nullptr, 0, &v), -1);
    EXPECT_EQ(creds_has(s.h, 7, 77), 0);
}

TEST(CredsSet, RawListAndEmpty)
{
    int n = 5;
    EXPECT_EQ(creds_empty(), nullptr);
    EXPECT_EQ(creds_raw_list(nullptr, &n), nullptr);
    EXPECT_EQ(n, 0);
    set_ptr s;
    ASSERT_EQ(creds_add(&s.h, 2, 3), 0);
    EXPECT_EQ(creds_raw_list(s.h, nullptr), nullptr);
    EXPECT_EQ(creds_add(nullptr, 1, 1), -1);
    creds_release(nullptr);
}

TEST(CredsSet, FromListRejectsMalformedWords)
{
    const uint32_t past_end[] = {creds_header(1, 2), 5};
    const uint32_t ok[] = {UIDH, 5, creds_header(9, 0)};
    struct {
        const uint32_t *w;
        int n;
    } bad[] = {{past_end, 2}, {ok, -1}, {nullptr, 3}};
    for (auto &b : bad) {
        errno = 0;
        EXPECT_EQ(creds_from_list(b.w, b.n), nullptr) << b.n;
        EXPECT_EQ(errno, EINVAL);
    }
    set_ptr s;
    s.h = creds_from_list(ok, 3);
    ASSERT_NE(s.h, nullptr);
    EXPECT_EQ(s.h->allocated, 3u);
    EXPECT_EQ(words(s.h), std::vector<uint32_t>(ok, ok + 3));
    set_ptr e;
    e.h = creds_from_list(nullptr, 0);
    ASSERT_NE(e.h, nullptr);
    EXPECT_EQ(e.h->actual, 0u);
}

TEST(CredsSet, WalksStayInsideActual)
{
    // A set whose header runs past its length (only a caller writing into
    // the block can make one): no read beyond actual.
    set_ptr s;
    ASSERT_EQ(creds_add(&s.h, 1, 1), 0);
    s.h->list[0] = creds_header(3, 200);
    int v;
    EXPECT_EQ(creds_has(s.h, 3, 1), 0);
    EXPECT_EQ(creds_entry(s.h, 0, &v), -1);
    creds_remove(s.h, 3, 1);
    EXPECT_EQ(s.h->actual, 2u);
}

TEST(CredsSet, ValueCountNeverWraps)
{
    std::vector<uint32_t> in(1 + 0xFFFF);
    in[0] = grp(0xFFFF);
    for (uint32_t i = 1; i < in.size(); i++)
        in[i] = i;
    set_ptr s;
    s.h = creds_from_list(in.data(), int(in.size()));
    ASSERT_NE(s.h, nullptr);
    EXPECT_EQ(creds_add(&s.h, 3, 0x10000), -1);
    EXPECT_EQ(s.h->actual, in.size());
    EXPECT_EQ(s.h->list[0], grp(0xFFFF));
    EXPECT_EQ(creds_add(&s.h, 3, 5), 0);  // present already
    EXPECT_EQ(creds_add(&s.h, 1, 5), 0);
    expect_well_formed(s.h);
}

// Random operations against a model of one set per type.
TEST(CredsSet, MatchesReferenceModel)
{
    std::mt19937 rng(12345);
    for (int round = 0; round < 50; round++) {
        set_ptr s;
        std::map<int, std::set<long>> model;  // type -> values
        for (int step = 0; step < 300; step++) {
            int type = int(rng() % 5) - (rng() % 8 == 0);  // -1..4
            int value = type == 0 ? int(rng() % 70) - 2 : int(rng() % 12);
            bool add = rng() % 3 != 0;
            if (add) {
                int want = 0;
                if (type < 0 || type > 3 || (type == 0 && (value < 0 || value > 63)))
                    want = -1;
                ASSERT_EQ(creds_add(&s.h, type, value), want);
                if (want == 0) {
                    if (type == 1 || type == 2)
                        model[type].clear();
                    model[type].insert(value);
                }
            } else {
                creds_remove(s.h, type, value);
                if (type == 1 || type == 2)
                    model[type].clear();
                else if (type == 0 || type == 3)
                    model[type].erase(value);
            }
            expect_well_formed(s.h);
            for (int t = 0; t <= 3; t++)
                for (int v = -1; v < 66; v++) {
                    bool want = model[t].count(v) ||
                                (t == 3 && model[2].count(v));
                    ASSERT_EQ(creds_has(s.h, t, v), int(want)) << t << "," << v;
                }
        }
    }
}

}  // namespace
