#include "fixture.h"

#include <climits>
#include <cstdint>
#include <functional>

namespace {

void StringSink(void* context, const char* text, std::size_t length) {
    static_cast<std::string*>(context)->append(text, length);
}

template <typename... Args> std::string Format(const char* format, const Args&... args) {
    const LogArg list[] = {MakeLogArg(args)..., LogArg{}};
    std::string out;
    FormatLogText(format, list, sizeof...(Args), StringSink, &out);
    return out;
}

struct FormatCase {
    const char* name;
    std::function<std::string()> run;
    std::string expected;
};

const WCHAR kLoneHigh[] = {u'a', 0xD800, u'b', 0};
const WCHAR kLoneLow[] = {0xDC00, 0};
const WCHAR kPair[] = {0xD83D, 0xDE00, 0};
const WCHAR kHighAtEnd[] = {u'x', 0xDBFF, 0};
const WCHAR kUnterminated[3] = {u'a', u'b', u'c'};

const std::vector<FormatCase>& Cases() {
    static const std::vector<FormatCase> cases = {
        {"signed decimal", [] { return Format("%d", -5); }, "-5"},
        {"DWORD through %d reads as signed", [] { return Format("%d", DWORD{0xFFFFFFFFu}); }, "-1"},
        {"smallest int", [] { return Format("%d", INT_MIN); }, "-2147483648"},
        {"unsigned decimal", [] { return Format("%lu", DWORD{4294967295u}); }, "4294967295"},
        {"negative int through %lu", [] { return Format("%lu", -1); }, "4294967295"},
        {"error code as 8 hex digits", [] { return Format("0x%.8X", DWORD{5}); }, "0x00000005"},
        {"hex already 8 digits", [] { return Format("%.8X", DWORD{0xDEADBEEFu}); }, "DEADBEEF"},
        {"64-bit as 16 hex digits",
         [] { return Format("0x%.16llX", std::uint64_t{0x100000001ull}); }, "0x0000000100000001"},
        {"largest 64-bit", [] { return Format("%.16llX", ~std::uint64_t{0}); }, "FFFFFFFFFFFFFFFF"},
        {"width", [] { return Format("[%5d]", 42); }, "[   42]"},
        {"left aligned", [] { return Format("[%-5d]", 42); }, "[42   ]"},
        {"zero padded with sign", [] { return Format("[%05d]", -42); }, "[-0042]"},
        {"percent sign", [] { return Format("100%%"); }, "100%"},
        {"wide string", [] { return Format("%S!", WString(WSTR("abc"))); }, "abc!"},
        {"wide literal", [] { return Format("%S", WSTR("C:\\x")); }, "C:\\x"},
        {"non-ASCII to UTF-8", [] { return Format("%S", WSTR("\u00e9\u20ac")); },
         "\xC3\xA9\xE2\x82\xAC"},
        {"surrogate pair", [] { return Format("%S", kPair); }, "\xF0\x9F\x98\x80"},
        {"unpaired high surrogate", [] { return Format("%S", kLoneHigh); },
         "a\xEF\xBF\xBD"
         "b"},
        {"unpaired low surrogate", [] { return Format("%S", kLoneLow); }, "\xEF\xBF\xBD"},
        {"high surrogate at the end", [] { return Format("%S", kHighAtEnd); }, "x\xEF\xBF\xBD"},
        {"buffer without terminator stays inside", [] { return Format("%S|", kUnterminated); },
         "abc|"},
        {"null wide pointer", [] { return Format("%S", static_cast<const WCHAR*>(nullptr)); },
         "(null)"},
        {"narrow string", [] { return Format("%s", "text"); }, "text"},
        {"missing argument", [] { return Format("a %d b"); }, "a %!d(MISSING) b"},
        {"second argument missing", [] { return Format("%d %S", 1); }, "1 %!S(MISSING)"},
        {"string given to %d", [] { return Format("%d", WSTR("x")); }, "%!d(BADTYPE)"},
        {"number given to %S", [] { return Format("%S", 7); }, "%!S(BADTYPE)"},
        {"narrow string given to %S", [] { return Format("%S", "x"); }, "%!S(BADTYPE)"},
        {"64-bit value given to %.8X", [] { return Format("%.8X", std::uint64_t{1}); },
         "%!X(BADTYPE)"},
        {"32-bit value given to %llX", [] { return Format("%.16llX", DWORD{1}); }, "%!X(BADTYPE)"},
        {"pointer given to %d", [] { return Format("%d", static_cast<void*>(nullptr)); },
         "%!d(BADTYPE)"},
        {"unsupported conversion", [] { return Format("%f", 1.5); }, "%!f(UNSUPPORTED)"},
        {"width from an argument", [] { return Format("%*d", 3, 4); }, "%!d(UNSUPPORTED)"},
        {"trailing percent", [] { return Format("50%"); }, "50%!(NOVERB)"},
        {"extra arguments ignored", [] { return Format("%d", 1, 2); }, "1"},
        {"argument order kept", [] { return Format("%S=%lu", WSTR("n"), 3u); }, "n=3"},
        // Precision on %S counts bytes of the UTF-8 text and never cuts a character.
        {"precision ends before a whole character", [] { return Format("[%.2S]", WSTR("\u4e2d")); },
         "[]"},
        {"precision keeps the characters that fit",
         [] { return Format("[%5.4S]", WSTR("a\u00e9\u4e2d")); }, "[  a\xC3\xA9]"},
        {"precision fits a four-byte character exactly", [] { return Format("[%.4S]", kPair); },
         "[\xF0\x9F\x98\x80]"},
        {"precision on narrow text counts bytes alone",
         [] { return Format("[%.2s]", "\xE4\xB8\xAD"); }, "[\xE4\xB8]"},
    };
    return cases;
}

class FormatTest : public ::testing::TestWithParam<std::size_t> {};

TEST_P(FormatTest, WritesExpectedText) {
    const FormatCase& c = Cases()[GetParam()];
    EXPECT_EQ(c.run(), c.expected) << c.name;
}

INSTANTIATE_TEST_SUITE_P(Conversions, FormatTest, ::testing::Range<std::size_t>(0, Cases().size()),
                         [](const auto& info) {
                             std::string name = Cases()[info.param].name;
                             for (auto& ch : name) {
                                 if (!std::isalnum(static_cast<unsigned char>(ch)))
                                     ch = '_';
                             }
                             return name;
                         });

} // namespace
