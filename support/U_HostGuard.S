/* U_HostGuard.S - calls a host method with an SEH frame of the driver's own
   around it, so that a structured exception raised by the host (its
   language's exceptions are structured exceptions) ends the call instead of
   unwinding through the SDK's thread.

   uint32_t TmGuardedHostCall(TGuardedCall *c), cdecl: EAX, EDX, ECX from the
   record, no stack arguments; stores EAX and whether an exception was
   raised (then also its code) into the record. */
        .intel_syntax noprefix
        .text
        .set G_CODE,    0
        .set G_EAX,     4
        .set G_EDX,     8
        .set G_ECX,     12
        .set G_RESULT,  16
        .set G_RAISED,  20
        .set G_XCODE,   24
        .set G_SAVEESP, 28
        .set G_SAVEEBP, 32

        .globl _TmGuardedHostCall
_TmGuardedHostCall:
        push    ebp
        mov     ebp, esp
        push    ebx
        push    esi
        push    edi
        mov     ebx, [ebp+8]
        /* registration record: prev, handler, then the call record */
        push    ebx
        push    offset _TmGuardHandler
        push    dword ptr fs:[0]
        mov     fs:[0], esp
        mov     [ebx+G_SAVEESP], esp
        mov     [ebx+G_SAVEEBP], ebp
        mov     eax, [ebx+G_EAX]
        mov     edx, [ebx+G_EDX]
        mov     ecx, [ebx+G_ECX]
        call    dword ptr [ebx+G_CODE]
        mov     [ebx+G_RESULT], eax
        mov     esp, [ebx+G_SAVEESP]
_TmGuardResume:
        mov     eax, [esp]
        mov     fs:[0], eax
        add     esp, 12
        mov     eax, [ebx+G_RESULT]
        pop     edi
        pop     esi
        pop     ebx
        pop     ebp
        ret

/* EXCEPTION_DISPOSITION handler(record, establisher, context, dispatcher) */
_TmGuardHandler:
        mov     eax, [esp+4]
        test    dword ptr [eax+4], 6          /* unwinding: nothing to do */
        jnz     1f
        mov     ecx, [esp+8]
        mov     edx, [ecx+8]                  /* the call record */
        mov     dword ptr [edx+G_RAISED], 1
        mov     dword ptr [edx+G_RESULT], 0
        push    ebx
        mov     ebx, [eax]
        mov     [edx+G_XCODE], ebx
        pop     ebx
        push    0
        push    eax
        push    0
        push    ecx
        call    _RtlUnwind@16
        /* RtlUnwind keeps no register of ours: start again from the arguments */
        mov     ecx, [esp+8]
        mov     ebx, [ecx+8]
        mov     esp, [ebx+G_SAVEESP]
        mov     ebp, [ebx+G_SAVEEBP]
        jmp     _TmGuardResume
1:      mov     eax, 1                        /* ExceptionContinueSearch */
        ret
