// Arguments that must be live native objects.
//
// `tarvo.Normal.__new__(tarvo.Normal)` makes an instance whose __init__ never ran: it holds no
// native object, yet the binding library's own conversion hands it on as a pointer to one. A
// method bound without named parameters also takes None as self, as a null pointer. Either would
// reach native code as an object that is not there.
//
// Initialised<T> (self of a method) refuses both; InitialisedOrNone<T> (the runners' tree) lets
// None through as a null pointer, for the native checks to report. An instance whose __init__
// never ran raises TypeError naming its class, before any native code runs. Both render in
// signatures exactly as T does, so the module's surface does not change.
#pragma once

#include <string>

#include <pybind11/pybind11.h>

template <class T>
struct Initialised {
    T* object = nullptr;
    T* operator->() const { return object; }
};

template <class T>
struct InitialisedOrNone {
    T* object = nullptr;  // null for None
};

// As InitialisedOrNone, for an optional argument: rendered as `T | None` in signatures.
template <class T>
struct OptionalInitialised {
    T* object = nullptr;  // null for None
};

// Raises TypeError when `src`, an instance of a class registered with the binding library, holds
// no native object because its __init__ never ran.
inline void requireInitialised(pybind11::handle src) {
    pybind11::detail::values_and_holders holders(src.ptr());
    for (auto& holder : holders) {
        if (!holder.holder_constructed() && !holders.is_redundant_value_and_holder(holder)) {
            throw pybind11::type_error(pybind11::detail::get_fully_qualified_tp_name(Py_TYPE(src.ptr())) +
                                       " object is not initialised: its __init__() was never called");
        }
    }
}

namespace pybind11::detail {

template <class Wrapper, class T, bool acceptNone, bool optional = false>
struct initialised_caster {
    PYBIND11_TYPE_CASTER(Wrapper, make_caster<T>::name + const_name<optional>(" | None", ""));

    bool load(handle src, bool convert) {
        if (src.is_none()) {
            value.object = nullptr;
            return acceptNone;
        }
        make_caster<T> object;
        if (!object.load(src, convert)) {
            return false;
        }
        requireInitialised(src);
        value.object = cast_op<T*>(object);
        return true;
    }
};

template <class T>
struct type_caster<Initialised<T>> : initialised_caster<Initialised<T>, T, false> {};

template <class T>
struct type_caster<InitialisedOrNone<T>> : initialised_caster<InitialisedOrNone<T>, T, true> {};

template <class T>
struct type_caster<OptionalInitialised<T>>
    : initialised_caster<OptionalInitialised<T>, T, true, true> {};

}  // namespace pybind11::detail
