#include "log.h"

#include <cstring>
#include <string>

namespace {

struct Directive {
    bool left = false;
    bool zero = false;
    bool plus = false;
    bool space = false;
    int width = -1;
    int precision = -1;
    bool wide64 = false;
    char conversion = 0;
};

void Emit(LogSink sink, void* context, const std::string& text) {
    if (!text.empty())
        sink(context, text.data(), text.size());
}

void Pad(LogSink sink, void* context, const Directive& directive, const std::string& body,
         bool zeroAllowed, std::size_t signLength) {
    std::size_t width = directive.width < 0 ? 0 : static_cast<std::size_t>(directive.width);
    if (body.size() >= width) {
        Emit(sink, context, body);
    } else if (directive.left) {
        Emit(sink, context, body + std::string(width - body.size(), ' '));
    } else if (directive.zero && zeroAllowed) {
        std::string padded = body;
        padded.insert(signLength, width - body.size(), '0');
        Emit(sink, context, padded);
    } else {
        Emit(sink, context, std::string(width - body.size(), ' ') + body);
    }
}

std::string Digits(std::uint64_t value, unsigned base, bool upper) {
    const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string out;
    do {
        out.insert(out.begin(), set[value % base]);
        value /= base;
    } while (value != 0);
    return out;
}

void Placeholder(LogSink sink, void* context, char conversion, const char* why) {
    std::string text = "%!";
    text += conversion;
    text += "(";
    text += why;
    text += ")";
    Emit(sink, context, text);
}

void Integer(LogSink sink, void* context, const Directive& directive, const LogArg& arg) {
    bool is64 = arg.kind == LogArg::Kind::Int64 || arg.kind == LogArg::Kind::UInt64;
    bool is32 = arg.kind == LogArg::Kind::Int32 || arg.kind == LogArg::Kind::UInt32;
    if ((!is64 && !is32) || is64 != directive.wide64) {
        Placeholder(sink, context, directive.conversion, "BADTYPE");
        return;
    }
    // As printf: the conversion decides signedness, the argument only supplies the bits.
    std::uint64_t bits = directive.wide64 ? arg.bits : (arg.bits & 0xFFFFFFFFu);
    std::string sign;
    std::uint64_t magnitude = bits;
    bool isSigned = directive.conversion == 'd' || directive.conversion == 'i';
    if (isSigned) {
        std::int64_t value = directive.wide64
                                 ? static_cast<std::int64_t>(bits)
                                 : static_cast<std::int32_t>(static_cast<std::uint32_t>(bits));
        if (value < 0) {
            sign = "-";
            magnitude = static_cast<std::uint64_t>(0) - static_cast<std::uint64_t>(value);
        } else if (directive.plus) {
            sign = "+";
        } else if (directive.space) {
            sign = " ";
        }
    }
    unsigned base = (directive.conversion == 'x' || directive.conversion == 'X') ? 16 : 10;
    std::string digits = Digits(magnitude, base, directive.conversion == 'X');
    if (directive.precision == 0 && magnitude == 0)
        digits.clear();
    if (directive.precision > 0 && digits.size() < static_cast<std::size_t>(directive.precision))
        digits.insert(0, static_cast<std::size_t>(directive.precision) - digits.size(), '0');
    Pad(sink, context, directive, sign + digits, directive.precision < 0, sign.size());
}

void Text(LogSink sink, void* context, const Directive& directive, const LogArg& arg) {
    std::string text;
    if (directive.conversion == 'S') {
        if (arg.kind != LogArg::Kind::Wide) {
            Placeholder(sink, context, directive.conversion, "BADTYPE");
            return;
        }
        text = arg.wide == nullptr ? "(null)" : Utf16ToUtf8(arg.wide, arg.length);
    } else {
        if (arg.kind != LogArg::Kind::Narrow) {
            Placeholder(sink, context, directive.conversion, "BADTYPE");
            return;
        }
        text = arg.narrow == nullptr ? "(null)" : std::string(arg.narrow, arg.length);
    }
    if (directive.precision >= 0 && text.size() > static_cast<std::size_t>(directive.precision)) {
        std::size_t end = static_cast<std::size_t>(directive.precision);
        // As the C library does for wide text: the precision counts bytes, and a character
        // that does not fit whole is left out rather than cut.
        while (directive.conversion == 'S' && end > 0 &&
               (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
            --end;
        text.resize(end);
    }
    Pad(sink, context, directive, text, false, 0);
}

int Number(const char*& p) {
    int value = 0;
    while (*p >= '0' && *p <= '9') {
        if (value < 100000)
            value = value * 10 + (*p - '0');
        ++p;
    }
    return value;
}

} // namespace

void FormatLogText(const char* format, const LogArg* args, std::size_t count, LogSink sink,
                   void* context) {
    std::size_t next = 0;
    const char* p = format;
    while (*p != 0) {
        const char* run = p;
        while (*p != 0 && *p != '%')
            ++p;
        if (p != run)
            sink(context, run, static_cast<std::size_t>(p - run));
        if (*p == 0)
            break;
        ++p; // '%'
        if (*p == '%') {
            sink(context, "%", 1);
            ++p;
            continue;
        }
        Directive directive;
        for (;; ++p) {
            if (*p == '-')
                directive.left = true;
            else if (*p == '0')
                directive.zero = true;
            else if (*p == '+')
                directive.plus = true;
            else if (*p == ' ')
                directive.space = true;
            else if (*p != '#')
                break;
        }
        bool star = false;
        if (*p == '*') {
            star = true;
            ++p;
        } else if (*p >= '0' && *p <= '9') {
            directive.width = Number(p);
        }
        if (*p == '.') {
            ++p;
            if (*p == '*') {
                star = true;
                ++p;
            }
            directive.precision = Number(p);
        }
        if (std::strncmp(p, "ll", 2) == 0) {
            directive.wide64 = true;
            p += 2;
        } else if (std::strncmp(p, "I64", 3) == 0) {
            directive.wide64 = true;
            p += 3;
        } else if (*p == 'l' || *p == 'h') {
            ++p;
        }
        directive.conversion = *p;
        if (*p == 0) {
            Emit(sink, context, "%!(NOVERB)");
            break;
        }
        ++p;
        const bool known = std::strchr("diuxXSs", directive.conversion) != nullptr;
        if (!known || star) {
            Placeholder(sink, context, directive.conversion, "UNSUPPORTED");
            continue;
        }
        if (next >= count) {
            Placeholder(sink, context, directive.conversion, "MISSING");
            continue;
        }
        const LogArg& arg = args[next++];
        if (directive.conversion == 'S' || directive.conversion == 's')
            Text(sink, context, directive, arg);
        else
            Integer(sink, context, directive, arg);
    }
}
