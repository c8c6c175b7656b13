// The signal guard: once armed, a signal whose default action would end
// the run first calls one cleanup function, then ends the run as it would
// have. Signals can be held over a stretch of work that a cleanup must not
// interrupt half-way.
//
//   disarmed --arm(cleanup)--> armed --hold()--> held --release()--> armed
//
// It stays armed for the rest of the run: the handlers are installed by the
// first arm() only, so that a batch replacing many files pays for them once
// (about 150 calls), and the cleanup itself says whether there is anything
// to clean. A run ended by a signal ends as the default action would have
// ended it, armed or not.
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

void arm(void (*cleanup)());  // the handlers are installed by the first call
void hold();                  // guarded signals wait; nothing when already held
void release();               // and are delivered now; nothing when not held

}  // namespace recordio::signals
