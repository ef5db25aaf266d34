; The boot program of the installer's boot record: 16-bit real mode, run by
; the BIOS at 0000:7C00. It moves itself to 0000:0600, finds the active
; partition, loads that partition's first sector to 0000:7C00 and jumps to it
; with SI pointing at the partition entry and DL holding the drive number.
bits 16
org 0x0600

TABLE       equ 0x0600 + 446
LOAD        equ 0x7C00
ATTEMPTS    equ 5

start:
        cli
        xor ax, ax
        mov ss, ax
        mov sp, LOAD
        mov ds, ax
        mov es, ax
        sti
        cld
        mov si, LOAD            ; move out of the way of the sector to load
        mov di, 0x0600
        mov cx, 256
        rep movsw
        jmp 0:relocated

relocated:
        mov si, TABLE
        mov cx, 4
.scan:  mov al, [si]
        cmp al, 0x80
        je found
        test al, al
        jnz missing             ; neither active nor inactive: a broken table
        add si, 16
        loop .scan
        int 0x18                ; nothing to boot: the BIOS's boot-failure path
        jmp halt

found:
        mov di, ATTEMPTS
.read:  mov dl, [si]            ; drive number, from the status byte
        mov dh, [si + 1]        ; head
        mov cx, [si + 2]        ; sector, cylinder
        mov bx, LOAD
        mov ax, 0x0201          ; read one sector
        push si
        push di
        int 0x13
        pop di
        pop si
        jnc loaded
        xor ax, ax              ; reset the disk and try again
        mov dl, [si]
        push si
        push di
        int 0x13
        pop di
        pop si
        dec di
        jnz .read
        mov si, msg_error
        jmp print

loaded:
        cmp word [LOAD + 510], 0xAA55
        jne missing
        mov dl, [si]
        jmp 0:LOAD

missing:
        mov si, msg_missing
print:  lodsb
        test al, al
        jz halt
        mov ah, 0x0E            ; teletype output, page 0, attribute 7
        mov bx, 0x0007
        int 0x10
        jmp print
halt:   jmp halt

msg_error:   db "Error loading operating system", 0
msg_missing: db "Missing operating system", 0

%if ($ - $$) > 446
%error "the boot program does not fit before the partition table"
%endif
