# SPDX-License-Identifier: MIT
# What every Virelto target compiles with, as one INTERFACE target that each
# target links: the warnings (errors with VIRELTO_WERROR), the sanitizers
# with VIRELTO_SANITIZE, and Qt's strict string casts. Included by the whole
# project and by the OCR service when it is built alone.
include_guard(GLOBAL)

option(VIRELTO_WERROR "Treat compiler warnings as errors" OFF)
option(VIRELTO_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)

add_library(virelto_build_flags INTERFACE)
if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    target_compile_options(virelto_build_flags INTERFACE -Wall -Wextra -Wpedantic)
    if(VIRELTO_WERROR)
        target_compile_options(virelto_build_flags INTERFACE -Werror)
    endif()
    if(VIRELTO_SANITIZE)
        target_compile_options(virelto_build_flags INTERFACE
            -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
        target_link_options(virelto_build_flags INTERFACE -fsanitize=address,undefined)
    endif()
elseif(VIRELTO_WERROR OR VIRELTO_SANITIZE)
    message(FATAL_ERROR "VIRELTO_WERROR and VIRELTO_SANITIZE need GCC or Clang")
endif()
# Every QString built from bytes says which encoding it takes.
target_compile_definitions(virelto_build_flags INTERFACE
    QT_NO_CAST_FROM_ASCII QT_NO_CAST_TO_ASCII QT_NO_URL_CAST_FROM_STRING)
