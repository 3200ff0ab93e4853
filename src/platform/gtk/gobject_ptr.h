#pragma once

#include <glib-object.h>

#include <memory>

namespace quorva {

struct GObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};

// One reference to a GObject, given back when the pointer goes.
template <typename T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

// Takes over the reference a constructor or getter handed over.
template <typename T>
GObjectPtr<T> adoptGObject(T* object)
{
    return GObjectPtr<T>(object);
}

// Adds a reference to an object held elsewhere, or sinks a floating one.
template <typename T>
GObjectPtr<T> retainGObject(T* object)
{
    return GObjectPtr<T>(static_cast<T*>(g_object_ref_sink(object)));
}

// A handler disconnected by its id when this goes, so a receiver that is not
// a GObject is never called once it is gone. It keeps the object alive too:
// disconnecting from an object already finalised would be a fault of its own.
class SignalConnection {
public:
    SignalConnection(gpointer object, const char* signal, GCallback callback, gpointer data,
                     GConnectFlags flags = G_CONNECT_DEFAULT)
        : instance(G_OBJECT(g_object_ref(object))),
          id(g_signal_connect_data(object, signal, callback, data, nullptr, flags))
    {
    }
    ~SignalConnection()
    {
        if (instance)
            g_signal_handler_disconnect(instance.get(), id);
    }
    SignalConnection(SignalConnection&&) noexcept = default;
    SignalConnection& operator=(SignalConnection&&) = delete;
    SignalConnection(const SignalConnection&) = delete;
    SignalConnection& operator=(const SignalConnection&) = delete;

private:
    GObjectPtr<GObject> instance;
    gulong id;
};

}  // namespace quorva
