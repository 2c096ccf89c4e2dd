/* CallRegister.S - the host's side of a call, written out by hand so that it
   shares nothing with how the driver produces its calling convention.

   TmCallRegister(TCallFrame *f), cdecl: loads EAX, EDX, ECX, pushes
   f->count words from f->words (words[0] first), calls f->entry with EBX,
   ESI, EDI and EBP set to the frame's marker values, and records EAX, EDX,
   those four registers as the callee left them, and how many bytes the
   callee removed. Nothing after the call trusts a register the callee may
   have changed: the frame is found again through our SEH registration. The
   call runs under that SEH frame: an exception raised inside it is
   recorded, the frames above ours are unwound with RtlUnwind, and the
   routine returns normally. */

        .intel_syntax noprefix
        .text

        .set F_ENTRY,   0
        .set F_EAX,     4
        .set F_EDX,     8
        .set F_ECX,     12
        .set F_WORDS,   16
        .set F_COUNT,   20
        .set F_OUTEAX,  24
        .set F_OUTEDX,  28
        .set F_POPPED,  32
        .set F_RAISED,  36
        .set F_CODE,    40
        .set F_PARAM0,  44
        .set F_PARAM1,  48
        .set F_NPARAMS, 52
        .set F_SAVEESP, 56
        .set F_SAVEEBP, 60
        .set F_ARGSESP, 64
        .set F_INEBX,   68
        .set F_INESI,   72
        .set F_INEDI,   76
        .set F_INEBP,   80
        .set F_OUTEBX,  84
        .set F_OUTESI,  88
        .set F_OUTEDI,  92
        .set F_OUTEBP,  96

        .globl _TmCallRegister
_TmCallRegister:
        push    ebp
        mov     ebp, esp
        push    ebx
        push    esi
        push    edi
        mov     ebx, [ebp+8]
        /* SEH registration: prev, handler, then our frame for the handler */
        push    ebx
        push    offset _TmSehHandler
        push    dword ptr fs:[0]
        mov     fs:[0], esp
        mov     [ebx+F_SAVEESP], esp
        mov     [ebx+F_SAVEEBP], ebp
        mov     esi, [ebx+F_WORDS]
        mov     ecx, [ebx+F_COUNT]
        xor     edi, edi
1:      cmp     edi, ecx
        jae     2f
        push    dword ptr [esi+edi*4]
        inc     edi
        jmp     1b
2:      mov     [ebx+F_ARGSESP], esp
        /* call by hand: the return address, then the callee for the ret */
        push    offset 3f
        push    dword ptr [ebx+F_ENTRY]
        mov     eax, [ebx+F_EAX]
        mov     edx, [ebx+F_EDX]
        mov     ecx, [ebx+F_ECX]
        mov     esi, [ebx+F_INESI]
        mov     edi, [ebx+F_INEDI]
        mov     ebp, [ebx+F_INEBP]
        mov     ebx, [ebx+F_INEBX]
        ret
3:      mov     ecx, fs:[0]
        mov     ecx, [ecx+8]                  /* our TCallFrame */
        mov     [ecx+F_OUTEAX], eax
        mov     [ecx+F_OUTEDX], edx
        mov     [ecx+F_OUTEBX], ebx
        mov     [ecx+F_OUTESI], esi
        mov     [ecx+F_OUTEDI], edi
        mov     [ecx+F_OUTEBP], ebp
        mov     ebx, ecx
        mov     eax, esp
        sub     eax, [ebx+F_ARGSESP]
        mov     [ebx+F_POPPED], eax
        mov     ebp, [ebx+F_SAVEEBP]
        mov     esp, [ebx+F_SAVEESP]
_TmCallResume:
        mov     eax, [esp]
        mov     fs:[0], eax
        add     esp, 12
        pop     edi
        pop     esi
        pop     ebx
        pop     ebp
        ret

/* EXCEPTION_DISPOSITION handler(record, establisher, context, dispatcher) */
_TmSehHandler:
        mov     eax, [esp+4]
        test    dword ptr [eax+4], 6          /* unwinding: not ours to handle */
        jnz     3f
        mov     ecx, [esp+8]
        mov     edx, [ecx+8]                  /* our TCallFrame */
        mov     dword ptr [edx+F_RAISED], 1
        push    ebx
        mov     ebx, [eax]
        mov     [edx+F_CODE], ebx
        mov     ebx, [eax+16]
        mov     [edx+F_NPARAMS], ebx
        mov     ebx, [eax+20]
        mov     [edx+F_PARAM0], ebx
        mov     ebx, [eax+24]
        mov     [edx+F_PARAM1], ebx
        pop     ebx
        push    0
        push    eax
        push    0
        push    ecx
        call    _RtlUnwind@16
        /* RtlUnwind keeps no register of ours: start again from the arguments */
        mov     ecx, [esp+8]
        mov     ebx, [ecx+8]
        mov     esp, [ebx+F_SAVEESP]
        mov     ebp, [ebx+F_SAVEEBP]
        jmp     _TmCallResume
3:      mov     eax, 1                        /* ExceptionContinueSearch */
        ret

/* Host method thunks: the driver calls them with the object in EAX. */

        /* StatusCallback(Self: EAX, DvrId: EDX, OnLine: ECX low byte) */
        .globl _TmThunkStatus
_TmThunkStatus:
        push    ecx
        push    edx
        push    eax
        call    _TmOnStatus
        add     esp, 12
        ret

        /* Frame callback(Self: EAX, Info: EDX) */
        .globl _TmThunkFrame
_TmThunkFrame:
        push    edx
        push    eax
        call    _TmOnFrame
        add     esp, 8
        ret

        /* Host function 1(Self: EAX, A: EDX, B: ECX; stack C, Z1, Z2) -> EAX; pops 12 */
        .globl _TmThunkHostFunction1
_TmThunkHostFunction1:
        push    dword ptr [esp+4]             /* Z2, nearest the return address */
        push    dword ptr [esp+12]            /* Z1 */
        push    dword ptr [esp+20]            /* C */
        push    ecx
        push    edx
        push    eax
        call    _TmOnHostFunction1
        add     esp, 24
        ret     12

        /* Host function 2(Self: EAX, A: EDX) -> EAX */
        .globl _TmThunkHostFunction2
_TmThunkHostFunction2:
        push    edx
        push    eax
        call    _TmOnHostFunction2
        add     esp, 8
        ret

/* Test callees with known behaviour, for the kit's own tests. */

        /* Returns EAX+EDX+ECX and the first stack word in EDX; pops n*4. */
        .macro CALLEE n
        .globl _TmTestCallee\n
_TmTestCallee\n:
        add     eax, edx
        add     eax, ecx
        .if \n
        mov     edx, [esp+4]
        ret     (\n*4)
        .else
        ret
        .endif
        .endm
        CALLEE 0
        CALLEE 1
        CALLEE 3
        CALLEE 9
        CALLEE 11

        /* Changes every register a callee must keep. */
        .globl _TmTestClobber
_TmTestClobber:
        xor     ebx, ebx
        xor     esi, esi
        xor     edi, edi
        xor     ebp, ebp
        ret

        /* Returns the word at [esp+4*(EAX+1)]: the stack word EAX slots up; pops EDX bytes (0 or 8). */
        .globl _TmTestPeek2
_TmTestPeek2:
        mov     eax, [esp+4+eax*4]
        ret     8
