#include "net/callback_guard.h"

#include <windows.h>

// The guard is a frame with its own structured exception handler, so the system's normal search decides:
// a frame nearer the fault that handles the exception itself (a system call probing a pointer, say) still
// gets it first, and only an access violation that would otherwise leave the call-back reaches the guard.
// GCC's C++ frames let structured exceptions pass through untouched in both the search and the unwind phase.

#if defined(__x86_64__)

extern "C" {
int rv_CallGuardFrame(void (*Fn)(void*), void* Arg);
void rv_CallGuardResume();
EXCEPTION_DISPOSITION rv_CallGuardHandler(EXCEPTION_RECORD* Record, void* EstablisherFrame, CONTEXT* Context,
                                          DISPATCHER_CONTEXT* Dispatch);
}

// x64: GCC cannot attach a handler to a C++ function, so the frame is written out with its unwind data naming
// rv_CallGuardHandler. It returns 0 when Fn returned; the handler unwinds to rv_CallGuardResume with 1 in RAX.
// The frame has no frame register, so its establisher frame is RSP after the prologue, which is also the RSP
// that the unwind restores at rv_CallGuardResume.
asm(R"(
    .text
    .p2align 4
    .globl rv_CallGuardFrame
    .def rv_CallGuardFrame; .scl 2; .type 32; .endef
    .seh_proc rv_CallGuardFrame
rv_CallGuardFrame:
    subq $40, %rsp
    .seh_stackalloc 40
    .seh_endprologue
    .seh_handler rv_CallGuardHandler, @except
    movq %rcx, %rax
    movq %rdx, %rcx
    call *%rax
    xorl %eax, %eax
    .globl rv_CallGuardResume
rv_CallGuardResume:
    addq $40, %rsp
    ret
    .seh_endproc
)");

extern "C" EXCEPTION_DISPOSITION rv_CallGuardHandler(EXCEPTION_RECORD* Record, void* EstablisherFrame,
                                                     CONTEXT* Context, DISPATCHER_CONTEXT* Dispatch) {
    if ((Record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) == 0 &&
        Record->ExceptionCode == EXCEPTION_ACCESS_VIOLATION) {
        // Does not return: unwinds the frames above the guard and resumes it.
        RtlUnwindEx(EstablisherFrame, reinterpret_cast<void*>(&rv_CallGuardResume), Record,
                    reinterpret_cast<void*>(static_cast<uintptr_t>(1)), Context, Dispatch->HistoryTable);
    }
    return ExceptionContinueSearch;
}

namespace rv::detail {

bool CallContainingAccessViolation(void (*Fn)(void*), void* Arg) { return rv_CallGuardFrame(Fn, Arg) == 0; }

} // namespace rv::detail

#elif defined(__i386__)

namespace {

// x86: a registration record on the thread's handler chain (FS:[0]), as a compiler's __try builds it, plus the
// place to jump back to once the frames above it have been unwound.
struct TGuardRecord {
    TGuardRecord* Next;
    void* Handler;
    void* Resume[5]; // __builtin_setjmp buffer
};

extern "C" EXCEPTION_DISPOSITION __cdecl rv_CallGuardHandler32(EXCEPTION_RECORD* Record, void* EstablisherFrame,
                                                               CONTEXT*, void*) {
    if ((Record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) == 0 &&
        Record->ExceptionCode == EXCEPTION_ACCESS_VIOLATION) {
        auto* guard = static_cast<TGuardRecord*>(EstablisherFrame);
        // Runs the unwind handlers of the frames above the guard and leaves the guard's record at the head.
        RtlUnwind(EstablisherFrame, nullptr, Record, nullptr);
        __builtin_longjmp(guard->Resume, 1);
    }
    return ExceptionContinueSearch;
}

TGuardRecord* HandlerChainHead() {
    TGuardRecord* head;
    asm volatile("movl %%fs:0, %0" : "=r"(head));
    return head;
}

void SetHandlerChainHead(TGuardRecord* Head) { asm volatile("movl %0, %%fs:0" : : "r"(Head) : "memory"); }

} // namespace

namespace rv::detail {

__attribute__((noinline)) bool CallContainingAccessViolation(void (*Fn)(void*), void* Arg) {
    TGuardRecord record;
    record.Next = HandlerChainHead();
    record.Handler = reinterpret_cast<void*>(&rv_CallGuardHandler32);
    SetHandlerChainHead(&record);
    if (__builtin_setjmp(record.Resume) == 0) {
        Fn(Arg);
        SetHandlerChainHead(record.Next);
        return true;
    }
    SetHandlerChainHead(record.Next);
    return false;
}

} // namespace rv::detail

#else
#error "No access violation guard for this processor"
#endif
