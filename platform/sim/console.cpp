// The standard output and standard error of the process, and the display languages of the
// user at the console. WriteConsoleW writes to a console only; a redirected handle takes
// bytes through WriteFile.
#include "console.h"
#include "internal.h"

#include <cstring>

namespace {

using sim::detail::Fail;
using sim::detail::Faulted;
using sim::detail::Hex;
using sim::detail::Out;
using sim::detail::Ptr;
using sim::detail::WorldLock;

// Values as a console process inherits them; any value serves, as long as no other handle
// of the world has it.
constexpr std::uintptr_t kOutput = 0x64;
constexpr std::uintptr_t kError = 0x68;

struct Stream {
    bool redirected = false;
    std::string text;
};

struct Streams {
    Stream output;
    Stream error;
    LANGID userLanguage = 0x0409;
    LANGID systemLanguage = 0x0409;
};

Streams theStreams;

Stream* StreamOf(HANDLE handle) {
    const auto value = reinterpret_cast<std::uintptr_t>(handle);
    if (value == kOutput)
        return &theStreams.output;
    if (value == kError)
        return &theStreams.error;
    return nullptr;
}

Stream& StreamNamed(DWORD which) {
    return which == STD_ERROR_HANDLE ? theStreams.error : theStreams.output;
}

} // namespace

void sim::detail::ResetStandardStreams() {
    theStreams = Streams{};
}

void sim::SetUiLanguages(LANGID user, LANGID system) {
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    theStreams.userLanguage = user;
    theStreams.systemLanguage = system;
}

void sim::RedirectStandardStream(DWORD which, bool redirected) {
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    StreamNamed(which).redirected = redirected;
}

std::string sim::StandardStreamText(DWORD which) {
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    return StreamNamed(which).text;
}

bool sim::detail::IsStandardStream(HANDLE handle) {
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    return StreamOf(handle) != nullptr;
}

BOOL sim::detail::WriteStandardStream(HANDLE handle, const void* buffer, DWORD bytes,
                                      LPDWORD written) {
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    if (written != nullptr)
        *written = 0;
    if (buffer == nullptr && bytes != 0)
        return Fail(ERROR_INVALID_USER_BUFFER);
    StreamOf(handle)->text.append(static_cast<const char*>(buffer), bytes);
    if (written != nullptr)
        *written = bytes;
    return TRUE;
}

HANDLE GetStdHandle(DWORD which) {
    if (Faulted("GetStdHandle", static_cast<int>(which)))
        return INVALID_HANDLE_VALUE;
    if (which == STD_OUTPUT_HANDLE)
        return reinterpret_cast<HANDLE>(kOutput);
    if (which == STD_ERROR_HANDLE)
        return reinterpret_cast<HANDLE>(kError);
    return Fail(ERROR_INVALID_HANDLE, INVALID_HANDLE_VALUE);
}

BOOL GetConsoleMode(HANDLE console, LPDWORD mode) {
    if (Faulted("GetConsoleMode", Ptr(console), Out(mode, "&mode")))
        return FALSE;
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    const Stream* stream = StreamOf(console);
    if (stream == nullptr || stream->redirected)
        return Fail(ERROR_INVALID_HANDLE);
    if (mode == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    *mode = 0x0003; // processed output, wrap at the end of a line
    return TRUE;
}

BOOL WriteConsoleW(HANDLE console, const void* buffer, DWORD characters, LPDWORD written,
                   LPVOID reserved) {
    if (Faulted("WriteConsoleW", Ptr(console), Out(buffer, "&buffer"), characters,
                Out(written, "&written"), Ptr(reserved)))
        return FALSE;
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    Stream* stream = StreamOf(console);
    // A redirected standard handle is no console.
    if (stream == nullptr || stream->redirected)
        return Fail(ERROR_INVALID_HANDLE);
    if (reserved != nullptr || (buffer == nullptr && characters != 0))
        return Fail(ERROR_INVALID_PARAMETER);
    stream->text += Utf16ToUtf8(static_cast<const WCHAR*>(buffer), characters);
    if (written != nullptr)
        *written = characters;
    return TRUE;
}

// Neither can fail: each gives the language it has, falling back on the system's.
LANGID GetUserDefaultUILanguage() {
    sim::detail::Record("GetUserDefaultUILanguage()");
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    return theStreams.userLanguage;
}

LANGID GetSystemDefaultUILanguage() {
    sim::detail::Record("GetSystemDefaultUILanguage()");
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    return theStreams.systemLanguage;
}

// The count of characters with the terminator; with a size of 0, the size it needs.
int LCIDToLocaleName(LCID locale, LPWSTR name, int size, DWORD flags) {
    if (Faulted("LCIDToLocaleName", Hex(locale), Out(name, "&name"), size, Hex(flags)))
        return 0;
    static const struct {
        LCID locale;
        const WCHAR* name;
    } kNames[] = {{0x0407, WSTR("de-DE")},
                  {0x0409, WSTR("en-US")},
                  {0x040C, WSTR("fr-FR")},
                  {0x0411, WSTR("ja-JP")}};
    if ((flags & ~LOCALE_ALLOW_NEUTRAL_NAMES) != 0 || size < 0 || (name == nullptr && size != 0))
        return Fail<int>(ERROR_INVALID_PARAMETER);
    for (const auto& known : kNames) {
        if (known.locale != locale)
            continue;
        const int needed = static_cast<int>(std::char_traits<WCHAR>::length(known.name)) + 1;
        if (size == 0)
            return needed;
        if (size < needed)
            return Fail<int>(ERROR_INSUFFICIENT_BUFFER);
        std::memcpy(name, known.name, static_cast<std::size_t>(needed) * sizeof(WCHAR));
        return needed;
    }
    return Fail<int>(ERROR_INVALID_PARAMETER);
}
