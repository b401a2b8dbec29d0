// The diagnostic log: one text file per process, written only while an administrator has
// switched it on in the registry.
#pragma once

#include "platform/text.h"

#include <cstddef>
#include <cstdint>
#include <type_traits>

// Where this process logs to; empty while logging is off. Set at most once, by
// OpenLogSession, before any other thread exists; read-only afterwards.
extern char LogFilePath[MAX_PATH];

// Reads the switch, prepares the folder and the path, and writes the start banner.
void OpenLogSession();

// One argument of a message, with what it is, so that the formatter never reads memory it
// was not given.
struct LogArg {
    enum class Kind { Int32, UInt32, Int64, UInt64, Wide, Narrow, Other };
    Kind kind = Kind::Other;
    std::uint64_t bits = 0;
    const WCHAR* wide = nullptr;
    const char* narrow = nullptr;
    std::size_t length = 0; // characters of wide or narrow
};

template <typename T> LogArg MakeLogArg(const T& value) {
    using D = std::decay_t<T>;
    LogArg a;
    if constexpr (std::is_same_v<D, bool>) {
        a.kind = LogArg::Kind::Other;
    } else if constexpr (std::is_integral_v<D> || std::is_enum_v<D>) {
        using I =
            std::conditional_t<std::is_enum_v<D>, std::underlying_type<D>, std::enable_if<true, D>>;
        using N = typename I::type;
        constexpr bool wide64 = sizeof(N) > 4;
        if constexpr (std::is_signed_v<N>) {
            a.kind = wide64 ? LogArg::Kind::Int64 : LogArg::Kind::Int32;
            a.bits = static_cast<std::uint64_t>(static_cast<std::int64_t>(value));
        } else {
            a.kind = wide64 ? LogArg::Kind::UInt64 : LogArg::Kind::UInt32;
            a.bits = static_cast<std::uint64_t>(value);
        }
    } else if constexpr (std::is_array_v<T> &&
                         std::is_same_v<std::remove_cv_t<std::remove_extent_t<T>>, WCHAR>) {
        // A fixed buffer is read up to its terminator, and never past its end.
        a.kind = LogArg::Kind::Wide;
        a.wide = value;
        a.length = BoundedWideLength(value, std::extent_v<T>);
    } else if constexpr (std::is_array_v<T> &&
                         std::is_same_v<std::remove_cv_t<std::remove_extent_t<T>>, char>) {
        a.kind = LogArg::Kind::Narrow;
        a.narrow = value;
        while (a.length < std::extent_v<T> && value[a.length] != 0)
            ++a.length;
    } else if constexpr (std::is_same_v<D, const WCHAR*> || std::is_same_v<D, WCHAR*>) {
        a.kind = LogArg::Kind::Wide;
        a.wide = value;
        a.length = value == nullptr ? 0 : WideLength(value);
    } else if constexpr (std::is_same_v<D, WString>) {
        a.kind = LogArg::Kind::Wide;
        a.wide = value.data();
        a.length = value.size();
    } else if constexpr (std::is_same_v<D, const char*> || std::is_same_v<D, char*>) {
        a.kind = LogArg::Kind::Narrow;
        a.narrow = value;
        a.length = value == nullptr ? 0 : std::char_traits<char>::length(value);
    } else if constexpr (std::is_same_v<D, std::string>) {
        a.kind = LogArg::Kind::Narrow;
        a.narrow = value.data();
        a.length = value.size();
    }
    return a;
}

// Where formatted text goes, piece by piece.
using LogSink = void (*)(void* context, const char* text, std::size_t length);

// The message formatter: a narrow printf-style format with %d, %i, %u, %x, %X (32-bit, with
// the l length too), %llu, %llx, %llX, %lld, %I64X (64-bit), %S (UTF-16 text, written as
// UTF-8), %s (narrow text) and %%, each with the usual flags, width and precision. A missing
// argument or one of the wrong kind writes a visible placeholder instead.
void FormatLogText(const char* format, const LogArg* args, std::size_t count, LogSink sink,
                   void* context);

void LogMessageArgs(const char* format, const LogArg* args, std::size_t count);

// Writes one time-stamped entry to the process's log file, if logging is on.
template <typename... Args> void LogMessage(const char* format, const Args&... args) {
    const LogArg list[] = {MakeLogArg(args)..., LogArg{}};
    LogMessageArgs(format, list, sizeof...(Args));
}
