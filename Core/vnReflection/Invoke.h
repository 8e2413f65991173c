// Uniform invokers of reflected member and global functions (MethodInvoker and
// FunctionInvoker of Records.h), built from the function itself:
//   ReflectedClassMethod{..., VORN_METHOD(&C::F)}, ReflectedGlobalFunction{..., VORN_FUNCTION(&F)}.
// Each argument is read from the address in args[i]; a value result is constructed at
// result, a reference result stores the address of the referred object there.
#pragma once
#include "vnReflection/Records.h"
#include <new>
#include <type_traits>
#include <utility>

namespace vorn {
namespace detail {

template <class T>
decltype(auto) InvokeArg(void* p)
{
    if constexpr (std::is_lvalue_reference_v<T>)
        return *static_cast<std::remove_reference_t<T>*>(p);
    else
        return static_cast<const std::remove_cvref_t<T>&>(*static_cast<std::remove_cvref_t<T>*>(p));
}

template <class R, class F>
void InvokeInto(void* result, F&& f)
{
    if constexpr (std::is_void_v<R>)
        f();
    else if constexpr (std::is_reference_v<R>)
        *static_cast<std::remove_reference_t<R>**>(result) = &f();
    else
        new (result) R(f());
}

template <class C, class R, class... A>
struct MemberInvoker {
    template <auto M, size_t... I>
    static void Call(C* self, void* result, [[maybe_unused]] void* const* args, std::index_sequence<I...>)
    {
        InvokeInto<R>(result, [&]() -> R { return (self->*M)(InvokeArg<A>(args[I])...); });
    }
};

template <auto M>
struct MethodInvokerOf;

#define VORN_DETAIL_METHOD_INVOKER(CV, NOEXCEPT)                                                     \
    template <class C, class R, class... A, R (C::*M)(A...) CV NOEXCEPT>                             \
    struct MethodInvokerOf<M> {                                                                      \
        static constexpr bool kConst = std::is_const_v<CV int>;                                      \
        static void Invoke(void* obj, void* result, void* const* args)                               \
        {                                                                                            \
            MemberInvoker<CV C, R, A...>::template Call<M>(static_cast<CV C*>(obj), result, args,    \
                                                            std::index_sequence_for<A...>{});        \
        }                                                                                            \
    };
VORN_DETAIL_METHOD_INVOKER(, )
VORN_DETAIL_METHOD_INVOKER(const, )
VORN_DETAIL_METHOD_INVOKER(, noexcept)
VORN_DETAIL_METHOD_INVOKER(const, noexcept)
#undef VORN_DETAIL_METHOD_INVOKER

template <auto F>
struct FunctionInvokerOf;

template <class R, class... A, R (*F)(A...)>
struct FunctionInvokerOf<F> {
    template <size_t... I>
    static void Call(void* result, [[maybe_unused]] void* const* args, std::index_sequence<I...>)
    {
        InvokeInto<R>(result, [&]() -> R { return F(InvokeArg<A>(args[I])...); });
    }
    static void Invoke(void* result, void* const* args) { Call(result, args, std::index_sequence_for<A...>{}); }
};
template <class R, class... A, R (*F)(A...) noexcept>
struct FunctionInvokerOf<F> {
    template <size_t... I>
    static void Call(void* result, [[maybe_unused]] void* const* args, std::index_sequence<I...>)
    {
        InvokeInto<R>(result, [&]() -> R { return F(InvokeArg<A>(args[I])...); });
    }
    static void Invoke(void* result, void* const* args) { Call(result, args, std::index_sequence_for<A...>{}); }
};

} // namespace detail
} // namespace vorn

#define VORN_METHOD(m) (&::vorn::detail::MethodInvokerOf<m>::Invoke)
#define VORN_FUNCTION(f) (&::vorn::detail::FunctionInvokerOf<f>::Invoke)
