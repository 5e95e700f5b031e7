// Owning pointers to GLib objects, released with g_object_unref.
#ifndef USBEMU_GOBJECT_PTR_H
#define USBEMU_GOBJECT_PTR_H

#include <memory>

#include <glib-object.h>

namespace usbemu {

struct GObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};

template <class T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

// Takes a new reference to an object someone else owns.
template <class T>
GObjectPtr<T> add_ref(T *object)
{
    return GObjectPtr<T>(static_cast<T *>(g_object_ref(object)));
}

}  // namespace usbemu

#endif
