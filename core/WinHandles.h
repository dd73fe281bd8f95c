// Small owners of Windows resources: each releases its resource exactly once.
#pragma once

#include <windows.h>

#include <cstdint>
#include <utility>

// A resource handle with its release function and its "no handle" value; a handle equal
// to null or to Invalid is never released.
template <typename H, auto Release, std::intptr_t Invalid = 0>
class UniqueResource {
public:
    UniqueResource() = default;
    explicit UniqueResource(H h) : h_(h) {}
    ~UniqueResource() { reset(); }
    UniqueResource(UniqueResource&& o) noexcept : h_(std::exchange(o.h_, H(Invalid))) {}
    UniqueResource& operator=(UniqueResource&& o) noexcept {
        if (this != &o) {
            reset();
            h_ = std::exchange(o.h_, H(Invalid));
        }
        return *this;
    }
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;

    bool valid() const { return h_ != H(Invalid) && h_ != H(0); }
    H get() const { return h_; }
    H release() { return std::exchange(h_, H(Invalid)); }
    void reset(H h = H(Invalid)) {
        if (valid()) Release(h_);
        h_ = h;
    }

private:
    H h_ = H(Invalid);
};

namespace win_release {
inline void Handle(HANDLE h) { CloseHandle(h); }
inline void Find(HANDLE h) { FindClose(h); }
inline void Key(HKEY k) { RegCloseKey(k); }
inline void Library(HMODULE m) { FreeLibrary(m); }
inline void EventSource(HANDLE h) { DeregisterEventSource(h); }
inline void EventLog(HANDLE h) { CloseEventLog(h); }
inline void View(const void* p) { UnmapViewOfFile(p); }
inline void Local(HLOCAL p) { LocalFree(p); }
inline void Window(HWND w) { DestroyWindow(w); }
}  // namespace win_release

// Kernel handles; INVALID_HANDLE_VALUE and null both mean "none".
using UniqueHandle = UniqueResource<HANDLE, win_release::Handle, -1>;

using UniqueFindHandle = UniqueResource<HANDLE, win_release::Find, -1>;
using UniqueKey = UniqueResource<HKEY, win_release::Key>;
using UniqueLibrary = UniqueResource<HMODULE, win_release::Library>;
using UniqueEventSource = UniqueResource<HANDLE, win_release::EventSource>;
using UniqueEventLog = UniqueResource<HANDLE, win_release::EventLog>;
using UniqueView = UniqueResource<const void*, win_release::View>;
// A window the program made itself (window thread only).
using UniqueWindow = UniqueResource<HWND, win_release::Window>;
