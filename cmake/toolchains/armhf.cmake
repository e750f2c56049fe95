# Cross build for ARMv7 (hard float) with Debian's arm-linux-gnueabihf toolchain. Target libraries
# come from Debian's multiarch packages (libasound2-dev:armhf, libgtest-dev:armhf), which install
# under /usr/lib/arm-linux-gnueabihf, so no separate sysroot is needed.
#
#   cmake -S . -B build-arm -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/armhf.cmake
#
# Test executables run through qemu-arm (user mode). It is called explicitly rather than through
# binfmt_misc, which a build host or container need not have.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)

set(HDMI_PREVIEW_CROSS_TRIPLE arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${HDMI_PREVIEW_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${HDMI_PREVIEW_CROSS_TRIPLE}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${HDMI_PREVIEW_CROSS_TRIPLE})

# Programs are the build host's; libraries, headers and packages are the target's only, so that
# nothing of the host's x86-64 copies is picked up by accident.
set(CMAKE_FIND_ROOT_PATH /usr/${HDMI_PREVIEW_CROSS_TRIPLE} /usr)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config reads only the target's .pc files. Set in the environment because FindPkgConfig
# runs the host's pkg-config binary; the toolchain file is read again for every try_compile, so
# this holds for the whole configure step.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${HDMI_PREVIEW_CROSS_TRIPLE}/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# The target's dynamic loader, libc and libstdc++ all come from the cross toolchain's tree (-L for
# the loader, LD_LIBRARY_PATH for the rest); the libraries it lacks (libasound) from the multiarch
# directories. Debian's libc6:armhf, which libasound2:armhf pulls in, is usually a newer build than
# the cross toolchain's libc6-armhf-cross: a loader from one with the libc of the other crashes in
# pthread_create, so the two must never be mixed.
find_program(HDMI_PREVIEW_QEMU_ARM qemu-arm-static)
if(HDMI_PREVIEW_QEMU_ARM)
    set(CMAKE_CROSSCOMPILING_EMULATOR
        "${HDMI_PREVIEW_QEMU_ARM};-L;/usr/${HDMI_PREVIEW_CROSS_TRIPLE};-E;LD_LIBRARY_PATH=/usr/${HDMI_PREVIEW_CROSS_TRIPLE}/lib")
endif()

# GCC notes that the ABI for passing some iterators changed in GCC 7.1; everything here is built
# by one compiler, so the note is noise.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")
