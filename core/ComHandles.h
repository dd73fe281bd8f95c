// Small owners of COM resources: interface pointers, VARIANTs, BSTRs and the COM
// initialisation of a thread. Each releases what it holds exactly once.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string>
#include <utility>

// Holds one reference to an interface.
template <typename T>
class ComPtr {
public:
    ComPtr() = default;
    // Takes over a reference the caller already owns.
    explicit ComPtr(T* p) : p_(p) {}
    ~ComPtr() { reset(); }
    ComPtr(const ComPtr& o) : p_(o.p_) {
        if (p_) p_->AddRef();
    }
    ComPtr& operator=(const ComPtr& o) {
        if (this != &o) {
            if (o.p_) o.p_->AddRef();
            reset(o.p_);
        }
        return *this;
    }
    ComPtr(ComPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    ComPtr& operator=(ComPtr&& o) noexcept {
        if (this != &o) reset(std::exchange(o.p_, nullptr));
        return *this;
    }

    T* get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // Releases the current reference and gives the slot for an out-parameter.
    T** put() {
        reset();
        return &p_;
    }
    void reset(T* p = nullptr) {
        if (p_) p_->Release();
        p_ = p;
    }

private:
    T* p_ = nullptr;
};

// A VARIANT cleared when it goes.
class ComVariant {
public:
    ComVariant() { VariantInit(&v_); }
    ~ComVariant() { VariantClear(&v_); }
    ComVariant(const ComVariant& o) {
        VariantInit(&v_);
        VariantCopy(&v_, const_cast<VARIANT*>(&o.v_));
    }
    ComVariant& operator=(const ComVariant& o) {
        if (this != &o) {
            VariantClear(&v_);
            VariantCopy(&v_, const_cast<VARIANT*>(&o.v_));
        }
        return *this;
    }
    ComVariant(ComVariant&& o) noexcept : v_(o.v_) { VariantInit(&o.v_); }
    ComVariant& operator=(ComVariant&& o) noexcept {
        if (this != &o) {
            VariantClear(&v_);
            v_ = o.v_;
            VariantInit(&o.v_);
        }
        return *this;
    }

    VARIANT* get() { return &v_; }
    const VARIANT* get() const { return &v_; }
    VARTYPE vt() const { return V_VT(&v_); }
    // Empties the variant and gives it for an out-parameter.
    VARIANT* put() {
        VariantClear(&v_);
        return &v_;
    }

private:
    VARIANT v_;
};

// A BSTR freed when it goes.
class ComBstr {
public:
    ComBstr() = default;
    explicit ComBstr(const wchar_t* text) : s_(SysAllocString(text)) {}
    ~ComBstr() { SysFreeString(s_); }
    ComBstr(ComBstr&& o) noexcept : s_(std::exchange(o.s_, nullptr)) {}
    ComBstr& operator=(ComBstr&& o) noexcept {
        if (this != &o) {
            SysFreeString(s_);
            s_ = std::exchange(o.s_, nullptr);
        }
        return *this;
    }
    ComBstr(const ComBstr&) = delete;
    ComBstr& operator=(const ComBstr&) = delete;

    BSTR get() const { return s_; }
    BSTR* put() {
        SysFreeString(s_);
        s_ = nullptr;
        return &s_;
    }
    std::wstring str() const { return s_ ? std::wstring(s_, SysStringLen(s_)) : std::wstring(); }

private:
    BSTR s_ = nullptr;
};

// COM initialised for the calling thread while it lives: in a single-threaded apartment of
// its own, or with COINIT_MULTITHREADED in the process's multithreaded apartment.
class ComInitialization {
public:
    explicit ComInitialization(DWORD Model = COINIT_APARTMENTTHREADED)
        : ok_(SUCCEEDED(CoInitializeEx(nullptr, Model))) {}
    ~ComInitialization() {
        if (ok_) CoUninitialize();
    }
    ComInitialization(const ComInitialization&) = delete;
    ComInitialization& operator=(const ComInitialization&) = delete;
    bool ok() const { return ok_; }

private:
    bool ok_;
};
