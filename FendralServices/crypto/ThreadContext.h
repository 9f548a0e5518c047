// One library context (cipher or digest) per thread, made on the thread's
// first use and freed at its exit. The pointer is a plain thread_local, so
// the hot path pays no initialisation guard; the holder that frees the
// context is set up once, when the context is made.
#pragma once

template <typename Ctx, Ctx* (*NewFn)(), void (*FreeFn)(Ctx*)>
class ThreadContext
{
public:
    ThreadContext() = delete;

    // Null when the library cannot make one.
    static Ctx* get()
    {
        Ctx* ctx = t_ctx;
        return ctx != nullptr ? ctx : make();
    }

private:
    struct Holder
    {
        Ctx* ctx = nullptr;
        ~Holder()
        {
            FreeFn(ctx);
            t_ctx = nullptr;
        }
    };

    static Ctx* make()
    {
        thread_local Holder holder;
        holder.ctx = NewFn();
        t_ctx = holder.ctx;
        return t_ctx;
    }

    static inline thread_local Ctx* t_ctx = nullptr;
};
