#include "internal.h"

#include <map>
#include <set>

namespace {

struct Descriptor {
    WString sddl;
};

struct Security {
    std::set<Descriptor*> live;
    std::map<WString, DWORD> failing;
};

Security theSecurity;

} // namespace

using namespace sim::detail;

void sim::detail::ResetSecurity() {
    for (Descriptor* d : theSecurity.live)
        delete d;
    theSecurity = Security{};
}

void sim::FailSddl(const WString& sddl, DWORD code) {
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    theSecurity.failing[sddl] = code;
}

std::size_t sim::LiveDescriptors() {
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    return theSecurity.live.size();
}

namespace sim::detail {
// The string a descriptor was made from; "" for none, "(foreign)" for one not made here.
std::string DescriptorSddl(const void* descriptor) {
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    if (descriptor == nullptr)
        return "";
    auto* d = static_cast<Descriptor*>(const_cast<void*>(descriptor));
    if (theSecurity.live.count(d) == 0)
        return "(foreign)";
    return Utf16ToUtf8(d->sddl);
}
} // namespace sim::detail

BOOL ConvertStringSecurityDescriptorToSecurityDescriptorW(LPCWSTR sddl, DWORD revision,
                                                          PSECURITY_DESCRIPTOR* descriptor,
                                                          PULONG size) {
    if (Faulted("ConvertStringSecurityDescriptorToSecurityDescriptorW", Quote(sddl), revision,
                Out(descriptor, "&descriptor"), Out(size, "&size")))
        return FALSE;
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    Security& s = theSecurity;
    if (sddl == nullptr || descriptor == nullptr || revision != SDDL_REVISION_1)
        return Fail(ERROR_INVALID_PARAMETER);
    auto failing = s.failing.find(sddl);
    if (failing != s.failing.end())
        return Fail(failing->second);
    auto* d = new Descriptor{sddl};
    s.live.insert(d);
    *descriptor = d;
    if (size != nullptr)
        *size = static_cast<ULONG>(20 + 2 * d->sddl.size());
    return TRUE;
}

HLOCAL LocalFree(HLOCAL mem) {
    std::lock_guard<std::recursive_mutex> guard(WorldLock());
    // Descriptors are journaled by the string they were made from, so that lines compare
    // equal from run to run.
    std::string sddl = DescriptorSddl(mem);
    Call("LocalFree", mem == nullptr ? "NULL" : "descriptor \"" + sddl + "\"");
    if (mem == nullptr)
        return nullptr;
    auto* d = static_cast<Descriptor*>(mem);
    if (theSecurity.live.erase(d) == 0)
        return Fail(ERROR_INVALID_HANDLE, mem);
    delete d;
    return nullptr;
}
