#ifndef Util_System_Functor_INCLUDED
#define Util_System_Functor_INCLUDED

#include <memory>
#include <stdexcept>
#include <utility>

namespace Util {
namespace System {

namespace Private {

/// The callable behind a Functor; cloned whenever the functor is copied.
template <typename R, typename... Args>
class FunctorImplBase
{
public:
    typedef R ResultType;
    virtual ~FunctorImplBase() = default;
    virtual FunctorImplBase* clone() const = 0;
    virtual R operator()(Args... args) = 0;
};

} // namespace Private

/// A copyable callable with result R over Args, owning its handler.
template <typename R, typename... Args>
class Functor
{
public:
    typedef Private::FunctorImplBase<R, Args...> Impl;
    typedef R ResultType;

    Functor() = default;
    /// Takes ownership of impl.
    explicit Functor(Impl* impl) : _impl(impl) {}
    template <typename Fun>
    Functor(Fun fun);
    template <typename Obj, typename MemFn>
    Functor(const Obj& obj, MemFn memFn);

    Functor(const Functor& other) : _impl(other._impl ? other._impl->clone() : nullptr) {}
    Functor& operator=(const Functor& other)
    {
        if (this != &other) _impl.reset(other._impl ? other._impl->clone() : nullptr);
        return *this;
    }
    Functor(Functor&&) noexcept = default;
    Functor& operator=(Functor&&) noexcept = default;

    explicit operator bool() const { return static_cast<bool>(_impl); }

    R operator()(Args... args) const
    {
        if (!_impl) throw std::logic_error("empty functor called");
        return (*_impl)(std::forward<Args>(args)...);
    }

private:
    std::unique_ptr<Impl> _impl;
};

/// Wraps a plain callable (a function pointer, for example a driver entry point).
template <typename ParentFunctor, typename Fun>
class FunctorHandler;

template <typename R, typename... Args, typename Fun>
class FunctorHandler<Functor<R, Args...>, Fun> : public Private::FunctorImplBase<R, Args...>
{
public:
    explicit FunctorHandler(const Fun& fun) : _fun(fun) {}
    FunctorHandler* clone() const override { return new FunctorHandler(*this); }
    R operator()(Args... args) override { return _fun(std::forward<Args>(args)...); }

private:
    Fun _fun;
};

/// Calls a member function on an owner object.
template <typename ParentFunctor, typename PointerToObj, typename PointerToMemFn>
class MemFunHandler;

template <typename R, typename... Args, typename PointerToObj, typename PointerToMemFn>
class MemFunHandler<Functor<R, Args...>, PointerToObj, PointerToMemFn> : public Private::FunctorImplBase<R, Args...>
{
public:
    MemFunHandler(const PointerToObj& obj, PointerToMemFn memFn) : _obj(obj), _memFn(memFn) {}
    MemFunHandler* clone() const override { return new MemFunHandler(*this); }
    R operator()(Args... args) override { return ((*_obj).*_memFn)(std::forward<Args>(args)...); }

private:
    PointerToObj _obj;
    PointerToMemFn _memFn;
};

template <typename R, typename... Args>
template <typename Fun>
Functor<R, Args...>::Functor(Fun fun) : _impl(new FunctorHandler<Functor, Fun>(fun))
{
}

template <typename R, typename... Args>
template <typename Obj, typename MemFn>
Functor<R, Args...>::Functor(const Obj& obj, MemFn memFn) : _impl(new MemFunHandler<Functor, Obj, MemFn>(obj, memFn))
{
}

} // namespace System
} // namespace Util

#endif
