#pragma once

#include <glib-object.h>

#include <memory>
#include <string>
#include <utility>

namespace larkpin::glib {

/// One strong reference to a GObject; copies take their own reference.
template <typename T> class ObjectRef {
public:
    ObjectRef() = default;
    /// Takes over a reference the caller owns (a "transfer full" result).
    static ObjectRef adopt(T* object) { return ObjectRef(object); }
    /// Adds a reference to an object the caller does not own.
    static ObjectRef retain(T* object) {
        return ObjectRef(object ? static_cast<T*>(g_object_ref(object)) : nullptr);
    }

    ObjectRef(const ObjectRef& other)
        : object_(other.object_ ? static_cast<T*>(g_object_ref(other.object_)) : nullptr) {}
    ObjectRef(ObjectRef&& other) noexcept
        : object_(std::exchange(other.object_, nullptr)) {}
    ObjectRef& operator=(ObjectRef other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }
    ~ObjectRef() {
        if (object_)
            g_object_unref(object_);
    }

    T* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }

private:
    explicit ObjectRef(T* object)
        : object_(object) {}
    T* object_ = nullptr;
};

struct ErrorFree {
    void operator()(GError* error) const { g_error_free(error); }
};
/// Pass `out(error)` where GLib wants a GError**.
using Error = std::unique_ptr<GError, ErrorFree>;

/// Collects a GError and hands it to a glib::Error when the call returns.
class ErrorOut {
public:
    explicit ErrorOut(Error& target)
        : target_(target) {}
    ~ErrorOut() { target_.reset(error_); }
    ErrorOut(const ErrorOut&) = delete;
    ErrorOut& operator=(const ErrorOut&) = delete;
    operator GError**() { return &error_; }

private:
    Error& target_;
    GError* error_ = nullptr;
};

struct Free {
    void operator()(void* memory) const { g_free(memory); }
};
template <typename T> using Owned = std::unique_ptr<T, Free>;

/// The text of a "transfer full" string result, freed at once; "" for null.
inline std::string takeString(gchar* text) {
    const Owned<gchar> owned(text);
    return owned ? std::string(owned.get()) : std::string();
}

/// A pointer released by `release` (an unref or free function) when it goes out of scope: for the
/// C types that are not GObjects, such as GHashTable, GVariant or SecretValue.
template <typename T, auto release> struct Release {
    void operator()(T* pointer) const { release(pointer); }
};
template <typename T, auto release> using Handle = std::unique_ptr<T, Release<T, release>>;

/// A list of GObjects as GLib hands it out ("transfer full"): the list and a reference to each.
struct ObjectListFree {
    void operator()(GList* list) const { g_list_free_full(list, g_object_unref); }
};
using ObjectList = std::unique_ptr<GList, ObjectListFree>;

} // namespace larkpin::glib
