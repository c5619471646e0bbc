// The component model argument of the runners, converted so that its laws outlive the call.
//
// The runners receive plain pointers to the laws. When a level of the model is a generator (or
// another iterable that is not a sequence), the binding library reads it out into a temporary
// tuple, converts the elements and drops the tuple, and with it the last reference to any law
// created inside the generator: the run would then use freed laws. This caster accepts exactly
// what the library's own conversion accepts and renders the same type in signatures, but first
// copies every level into lists that it keeps until the call returns. A law whose __init__
// never ran raises TypeError naming its class.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "initialisedArgument.h"
#include "simulation.h"

// A component model whose laws stay referenced for as long as the call's arguments live.
struct PinnedComponentModel {
    ComponentModel laws;
};

namespace pybind11::detail {

template <>
struct type_caster<PinnedComponentModel> {
    PYBIND11_TYPE_CASTER(PinnedComponentModel, make_caster<ComponentModel>::name);

    bool load(handle src, bool convert) {
        if (!pinLevels(src, kLevels, convert, pinned)) {
            return false;
        }
        make_caster<ComponentModel> laws;
        if (!laws.load(pinned, convert)) {
            return false;
        }
        value.laws = cast_op<ComponentModel&&>(std::move(laws));
        return true;
    }

private:
    static constexpr int kLevels = 3;  // components, states, target states

    // Copies `levels` levels of nested sequences into new lists held by `out`, by the same rules
    // as the library's vector conversion; the innermost items (the laws) are referenced as they are.
    static bool pinLevels(handle src, int levels, bool convert, object& out) {
        if (levels == 0) {
            if (!src.is_none() && make_caster<Distribution>().load(src, convert)) {
                requireInitialised(src);
            }
            out = reinterpret_borrow<object>(src);
            return true;
        }
        if (!object_is_convertible_to_std_vector(src)) {
            return false;
        }
        object items = reinterpret_borrow<object>(src);
        if (!isinstance<sequence>(src)) {
            if (!convert) {
                return false;
            }
            items = tuple(reinterpret_borrow<iterable>(src));
        }
        list level;
        for (handle item : items) {
            object pinnedItem;
            if (!pinLevels(item, levels - 1, convert, pinnedItem)) {
                return false;
            }
            level.append(pinnedItem);
        }
        out = std::move(level);
        return true;
    }

    object pinned;  // the model's lists, alive until the call's arguments are released
};

}  // namespace pybind11::detail
