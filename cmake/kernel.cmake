# Kernel configuration: freestanding code for ntoskrnl. The flags are the ones
# that produced loadable images with these MinGW-w64 compilers.
set(KERNEL_COMPILE_FLAGS
    -O2 -fno-exceptions -fno-rtti -fno-threadsafe-statics
    -fno-asynchronous-unwind-tables -fno-stack-protector -fno-builtin
    -mno-stack-arg-probe)
set(DDK_INCLUDE_DIR /usr/share/mingw-w64/include/ddk)
