// The reading of the added reader descriptions over values of any type, size and bytes,
// handed over in an allocation of exactly that size. Whatever the bytes, a list taken is
// one that gives back exactly those bytes when written as REG_MULTI_SZ, within the limits;
// any other outcome takes nothing. A value that the input builds as a list of strings must
// be taken exactly when every string and the count are within the limits.
#include "input.h"
#include "repair/reader_descriptions.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

[[noreturn]] void Fail(const char* what, const ReaderDescriptionsOutcome& outcome) {
    std::fprintf(stderr, "%s (result %d, detail %lu)\n", what, static_cast<int>(outcome.result),
                 static_cast<unsigned long>(outcome.detail));
    std::abort();
}

std::vector<std::uint8_t> AsValue(const std::vector<WString>& strings) {
    WString text;
    for (const WString& s : strings)
        text += s + WString(1, 0);
    text += WString(1, 0);
    std::vector<std::uint8_t> bytes(text.size() * sizeof(WCHAR));
    std::memcpy(bytes.data(), text.data(), bytes.size());
    return bytes;
}

ReaderDescriptionsOutcome Parse(const std::vector<std::uint8_t>& value, DWORD type,
                                std::vector<WString>& taken) {
    // Exactly the value's bytes, so that a read past them is caught.
    std::unique_ptr<BYTE[]> exact(new BYTE[value.size() + (value.empty() ? 1 : 0)]);
    if (!value.empty())
        std::memcpy(exact.get(), value.data(), value.size());
    taken = {WSTR("left from before")};
    return ParseReaderDescriptions(exact.get(), value.size(), type, taken);
}

// Any bytes: what is taken must be what they say.
void CheckBytes(FuzzInput& in) {
    const DWORD type = (in.Byte() & 1) ? static_cast<DWORD>(in.Bits()) : REG_MULTI_SZ;
    std::vector<std::uint8_t> value(in.data, in.data + in.size);
    std::vector<WString> taken;
    const ReaderDescriptionsOutcome outcome = Parse(value, type, taken);
    if (outcome.result != ReaderDescriptionsResult::Taken) {
        if (!taken.empty())
            Fail("a list kept after a refused value", outcome);
        if (type != REG_MULTI_SZ && outcome.result != ReaderDescriptionsResult::WrongType)
            Fail("another type not refused as such", outcome);
        return;
    }
    if (type != REG_MULTI_SZ || AsValue(taken) != value)
        Fail("the list taken is not the value", outcome);
    if (taken.empty() || taken.size() > kMaxReaderDescriptions)
        Fail("a list taken with a wrong count", outcome);
    for (const WString& s : taken) {
        if (s.empty() || s.size() > kMaxDescriptionLength)
            Fail("a description taken with a wrong length", outcome);
    }
}

// A list of strings of no zero character: taken whole or refused for the first limit broken.
void CheckList(FuzzInput& in) {
    std::vector<WString> strings(in.Byte() % 20);
    ReaderDescriptionsResult expected =
        strings.empty() ? ReaderDescriptionsResult::NoDescription : ReaderDescriptionsResult::Taken;
    for (std::size_t i = 0; i < strings.size(); ++i) {
        const std::size_t length = 1 + in.Word() % 300;
        for (std::size_t c = 0; c < length; ++c)
            strings[i] += static_cast<WCHAR>(1 + in.Word() % 0xFFFF);
        if (expected != ReaderDescriptionsResult::Taken)
            continue;
        if (length > kMaxDescriptionLength)
            expected = ReaderDescriptionsResult::TooLong;
        else if (i >= kMaxReaderDescriptions)
            expected = ReaderDescriptionsResult::TooMany;
    }
    std::vector<WString> taken;
    const ReaderDescriptionsOutcome outcome = Parse(AsValue(strings), REG_MULTI_SZ, taken);
    if (outcome.result != expected)
        Fail("a list of strings not judged by its limits", outcome);
    if (taken != (expected == ReaderDescriptionsResult::Taken ? strings : std::vector<WString>{}))
        Fail("not the list given", outcome);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in{data, size};
    if (in.Byte() & 1)
        CheckList(in);
    else
        CheckBytes(in);
    return 0;
}
