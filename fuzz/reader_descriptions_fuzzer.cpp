// The reading of the added reader descriptions over values of any type, size and bytes,
// handed over in an allocation of exactly that size. A list taken must give back exactly
// those bytes when written as REG_MULTI_SZ, within the limits; any other outcome takes nothing.
#include "input.h"
#include "repair/reader_descriptions.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in{data, size};
    const DWORD type = (in.Byte() & 1) ? static_cast<DWORD>(in.Bits()) : REG_MULTI_SZ;
    std::unique_ptr<BYTE[]> value(new BYTE[in.size]);
    if (in.size != 0)
        std::memcpy(value.get(), in.data, in.size);
    std::vector<WString> taken = {WSTR("left from before")};
    const ReaderDescriptionsResult result =
        ParseReaderDescriptions(value.get(), in.size, type, taken).result;
    if (result != ReaderDescriptionsResult::Taken) {
        if (!taken.empty() ||
            (type != REG_MULTI_SZ) != (result == ReaderDescriptionsResult::WrongType))
            std::abort();
        return 0;
    }
    WString written;
    for (const WString& s : taken) {
        if (s.empty() || s.size() > kMaxDescriptionLength || s.find(WCHAR(0)) != WString::npos)
            std::abort();
        written += s + WString(1, 0);
    }
    written += WString(1, 0);
    if (taken.size() > kMaxReaderDescriptions || written.size() * sizeof(WCHAR) != in.size ||
        std::memcmp(written.data(), value.get(), in.size) != 0)
        std::abort();
    return 0;
}
