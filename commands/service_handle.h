// A handle of the service control manager, closed when its owner returns. A command
// declares the manager handle before the service handle, so the service handle, destroyed
// first, is closed first on every path.
#pragma once

#include "platform/text.h"

class ScHandle {
  public:
    explicit ScHandle(SC_HANDLE handle = nullptr) : handle_(handle) {}
    ~ScHandle() {
        if (handle_ != nullptr)
            CloseServiceHandle(handle_);
    }
    ScHandle(const ScHandle&) = delete;
    ScHandle& operator=(const ScHandle&) = delete;

    SC_HANDLE get() const { return handle_; }
    void reset(SC_HANDLE handle) {
        if (handle_ != nullptr)
            CloseServiceHandle(handle_);
        handle_ = handle;
    }
    explicit operator bool() const { return handle_ != nullptr; }

  private:
    SC_HANDLE handle_;
};
