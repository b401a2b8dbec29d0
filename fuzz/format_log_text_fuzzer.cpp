// The message formatter over arbitrary format text and arguments of every kind. Inputs whose
// first byte has its top bit set instead describe well-formed directives, and their output
// must equal the C library's for the same directives.
#include "input.h"
#include "log/log.h"

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

namespace {

void Collect(void* context, const char* text, std::size_t length) {
    static_cast<std::string*>(context)->append(text, length);
}

// Every argument's text lives in an allocation of exactly its length, so that reading one
// character too many is caught.
struct Arguments {
    std::vector<LogArg> list;
    std::vector<std::unique_ptr<WCHAR[]>> wide;
    std::vector<std::unique_ptr<char[]>> narrow;
};

// A text argument of length characters, each drawn from the input; noZeros keeps a
// terminator from cutting it short.
template <typename C>
void AddText(Arguments& a, std::vector<std::unique_ptr<C[]>>& store, FuzzInput& in,
             std::size_t length, bool null, bool noZeros) {
    LogArg arg;
    arg.kind = sizeof(C) == 1 ? LogArg::Kind::Narrow : LogArg::Kind::Wide;
    if (!null) {
        store.emplace_back(new C[length]);
        for (std::size_t i = 0; i < length; ++i) {
            C c = static_cast<C>(sizeof(C) == 1 ? in.Byte() : in.Word());
            store.back()[i] = noZeros && c == 0 ? 1 : c;
        }
        if constexpr (sizeof(C) == 1)
            arg.narrow = store.back().get();
        else
            arg.wide = store.back().get();
        arg.length = length;
    }
    a.list.push_back(arg);
}

void Arbitrary(FuzzInput& in) {
    Arguments a;
    std::size_t count = in.Byte() % 9;
    for (std::size_t i = 0; i < count; ++i) {
        std::uint8_t kind = in.Byte();
        switch (kind % 7) {
        case 0:
        case 1:
        case 2:
        case 3: {
            LogArg arg;
            arg.kind = static_cast<LogArg::Kind>(kind % 7);
            arg.bits = in.Bits();
            a.list.push_back(arg);
            break;
        }
        case 4:
            AddText(a, a.wide, in, in.Byte(), (kind & 0x80) != 0, false);
            break;
        case 5:
            AddText(a, a.narrow, in, in.Byte(), (kind & 0x80) != 0, false);
            break;
        default:
            a.list.push_back(LogArg{});
            break;
        }
    }
    std::size_t length = 0;
    const std::uint8_t* text = in.Take(in.size, &length);
    std::unique_ptr<char[]> format(new char[length + 1]);
    std::memcpy(format.get(), text, length);
    format[length] = 0;
    std::string out;
    FormatLogText(format.get(), a.list.data(), a.list.size(), Collect, &out);
}

// UTF-16 as the C library's wide characters, unpaired surrogates replaced as the log does.
std::wstring ToWchar(const WCHAR* text, std::size_t length) {
    std::wstring out;
    for (std::size_t i = 0; i < length; ++i) {
        std::uint32_t unit = text[i];
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < length && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            out += static_cast<wchar_t>(0x10000 + ((unit - 0xD800) << 10) + (text[i + 1] - 0xDC00));
            ++i;
        } else {
            out += static_cast<wchar_t>(unit >= 0xD800 && unit <= 0xDFFF ? 0xFFFD : unit);
        }
    }
    return out;
}

void Compared(FuzzInput& in) {
    Arguments a;
    std::string format;
    std::string expected;
    std::size_t count = in.Byte() % 8 + 1;
    for (std::size_t i = 0; i < count && !in.Empty(); ++i) {
        std::uint8_t flags = in.Byte();
        std::uint8_t width = in.Byte();
        std::uint8_t precision = in.Byte();
        std::uint8_t shape = in.Byte();
        std::string directive = "%";
        if (flags & 1)
            directive += '-';
        if (flags & 2)
            directive += '0';
        if (flags & 4)
            directive += '+';
        if (flags & 8)
            directive += ' ';
        if ((width & 0x80) == 0)
            directive += std::to_string(width % 40);
        if ((precision & 0x80) == 0)
            directive += "." + std::to_string(precision % 40);
        const char conversion = "diuxXSs"[shape % 7];
        const bool wide64 = (shape & 0x10) != 0;
        const bool text = conversion == 'S' || conversion == 's';
        std::string mine = directive;
        std::string theirs = directive;
        char piece[512];
        if (text) {
            // The C library counts bytes for width and precision, and never cuts a character.
            std::size_t length = in.Byte() % 24;
            if (conversion == 'S') {
                AddText(a, a.wide, in, length, false, true);
                mine += "S";
                theirs += "ls";
                std::wstring value = ToWchar(a.list.back().wide, length);
                std::snprintf(piece, sizeof piece, theirs.c_str(), value.c_str());
            } else {
                AddText(a, a.narrow, in, length, false, true);
                mine += "s";
                theirs += "s";
                std::string value(a.list.back().narrow, length);
                std::snprintf(piece, sizeof piece, theirs.c_str(), value.c_str());
            }
        } else {
            const bool isSigned = conversion == 'd' || conversion == 'i';
            LogArg arg;
            std::uint64_t bits = in.Bits();
            if (wide64) {
                mine += (shape & 0x20) != 0 ? "I64" : "ll";
                theirs += "ll";
                arg.kind = isSigned ? LogArg::Kind::Int64 : LogArg::Kind::UInt64;
                arg.bits = bits;
            } else {
                if ((shape & 0x20) != 0)
                    mine += "l";
                arg.kind = isSigned ? LogArg::Kind::Int32 : LogArg::Kind::UInt32;
                // As a caller's int or unsigned arrives.
                arg.bits = isSigned ? static_cast<std::uint64_t>(static_cast<std::int64_t>(
                                          static_cast<std::int32_t>(bits)))
                                    : (bits & 0xFFFFFFFFu);
            }
            mine += conversion;
            theirs += conversion;
            if (wide64 && isSigned)
                std::snprintf(piece, sizeof piece, theirs.c_str(), static_cast<long long>(bits));
            else if (wide64)
                std::snprintf(piece, sizeof piece, theirs.c_str(),
                              static_cast<unsigned long long>(bits));
            else if (isSigned)
                std::snprintf(piece, sizeof piece, theirs.c_str(),
                              static_cast<int>(static_cast<std::uint32_t>(bits)));
            else
                std::snprintf(piece, sizeof piece, theirs.c_str(), static_cast<unsigned>(bits));
            a.list.push_back(arg);
        }
        format += mine + "|";
        expected += std::string(piece) + "|";
    }
    std::string out;
    FormatLogText(format.c_str(), a.list.data(), a.list.size(), Collect, &out);
    if (out != expected) {
        std::fprintf(stderr, "format   [%s]\nexpected [%s]\nwritten  [%s]\n", format.c_str(),
                     expected.c_str(), out.c_str());
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The C library's %ls writes UTF-8, as the log does.
    if (std::setlocale(LC_ALL, "C.UTF-8") == nullptr) {
        std::fprintf(stderr, "no C.UTF-8 locale\n");
        std::abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in{data, size};
    if ((in.Byte() & 0x80) != 0)
        Compared(in);
    else
        Arbitrary(in);
    return 0;
}
