#pragma once

#include <objbase.h>

#include <memory>

struct ComReleaser {
    void operator()(IUnknown* object) const { object->Release(); }
};
template <typename T>
using ComPointer = std::unique_ptr<T, ComReleaser>;

// Pairs CoUninitialize with a CoInitialize that succeeded, and only with that.
class ComApartment {
public:
    ComApartment() : initialized_(SUCCEEDED(CoInitialize(nullptr))) {}
    ~ComApartment()
    {
        if (initialized_)
            CoUninitialize();
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

private:
    bool initialized_;
};
