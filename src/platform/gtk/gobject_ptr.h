#pragma once

#include <glib-object.h>

#include <utility>

namespace quorva {

// Owns one reference to a GObject.
template <typename T>
class GObjectPtr {
public:
    GObjectPtr() = default;
    // Takes over a reference the caller already owns.
    static GObjectPtr adopt(T* object)
    {
        GObjectPtr pointer;
        pointer.object = object;
        return pointer;
    }
    static GObjectPtr retain(T* object)
    {
        if (object)
            g_object_ref(object);
        return adopt(object);
    }
    ~GObjectPtr() { reset(); }
    GObjectPtr(GObjectPtr&& other) noexcept : object(std::exchange(other.object, nullptr)) {}
    GObjectPtr& operator=(GObjectPtr&& other) noexcept
    {
        if (this != &other) {
            reset();
            object = std::exchange(other.object, nullptr);
        }
        return *this;
    }
    GObjectPtr(const GObjectPtr&) = delete;
    GObjectPtr& operator=(const GObjectPtr&) = delete;

    T* get() const { return object; }
    explicit operator bool() const { return object != nullptr; }
    void reset()
    {
        if (object)
            g_object_unref(std::exchange(object, nullptr));
    }

private:
    T* object = nullptr;
};

}  // namespace quorva
