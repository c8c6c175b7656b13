// The signal guard: while armed, a signal whose default action would end
// the run first calls one cleanup function, then ends the run as it would
// have. Signals can be held over a stretch of work that a cleanup must not
// interrupt half-way.
//
//   disarmed --arm(cleanup)--> armed --hold()--> held --release()--> armed
//   armed or held --disarm()--> disarmed   (held signals delivered first)
//
// Armed, the handlers stand where the default action stood; signals ignored
// at the start, and those the program handles itself (a batch finishing its
// work), are left alone. The handler runs on its own stack, since a stack
// overflow is a signal too. It calls the cleanup with every guarded signal
// held, then raises the signal again with the default action back.
// The cleanup must be async-signal-safe; it reads only what it was handed
// through variables of its own.
#pragma once

#ifndef MAGSYNC_RECORDIO_OWN
#error "recordio's own header: outside recordio/, include its interface (unit.h, update.h, group.h, ...)"
#endif

namespace recordio::signals {

void arm(void (*cleanup)());
void hold();     // guarded signals wait; nothing when already held
void release();  // and are delivered now; nothing when not held
void disarm();   // releases, then puts back the actions found by arm()

}  // namespace recordio::signals
