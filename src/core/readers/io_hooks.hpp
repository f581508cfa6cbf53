#pragma once

namespace zel {

// What a reader does around a system call that may block (open of a FIFO,
// read of a pipe or a terminal) and while it waits for more data. The core
// knows nothing of the caller's runtime; a binding hands in hooks that, for
// instance, let other threads run during the call and turn a pending signal
// into "stop".
class IoHooks {
public:
    virtual ~IoHooks() = default;

    // Bracket one blocking system call. Nothing else happens in between, so
    // an implementation may give up a lock the rest of the reader needs.
    virtual void enter_blocking() {}
    virtual void leave_blocking() {}

    // Asked after an interrupted system call and each time more data has
    // arrived; false abandons the read, which then fails with
    // ErrorKind::Interrupted (the hooks have recorded why).
    virtual bool keep_going() { return true; }
};

// Hooks that do nothing: block in place, never stop early.
IoHooks& no_io_hooks();

}  // namespace zel
