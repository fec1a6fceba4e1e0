// The one shape of a callback in the launcher: a plain function and the
// context it is called with. No captures and no heap, so it can be handed to
// a thread the platform starts or kept in static storage.
#pragma once

namespace fenzar {

template <typename Signature>
struct Callback;

template <typename Result, typename... Arguments>
struct Callback<Result(Arguments...)> {
    Result (*function)(void* context, Arguments...) = nullptr;
    void* context = nullptr;

    bool is_set() const { return function != nullptr; }
    Result operator()(Arguments... arguments) const { return function(context, arguments...); }
};

}  // namespace fenzar
