// The standard output and standard error of the process. WriteConsoleW writes to a console
// only; a redirected handle takes bytes through WriteFile.
#include "console.h"
#include "internal.h"

#include <cstring>

namespace {

using sim::detail::Fail;
using sim::detail::Faulted;
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
