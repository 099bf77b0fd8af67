/// \file
/// The mark of the serial component's public API. The component's libraries are built with hidden
/// visibility (-fvisibility=hidden -fvisibility-inlines-hidden): a shared library that embeds
/// their archives exports only what carries this mark, the public classes and functions, all of
/// them in vexora::serial. A program that links the archives into an executable sees no
/// difference. Every header with such an API includes it, and so refuses to compile with
/// libstdc++'s debug mode (_GLIBCXX_DEBUG), which the libraries are not built with.
#pragma once

// The libraries are built without libstdc++'s debug mode, whose containers have another layout
// and other names: a program built with it would hand the component containers that it cannot
// read (a crash, or an undefined reference at best). _GLIBCXX_ASSERTIONS changes no layout.
#if defined(_GLIBCXX_DEBUG)
#error "The Vexora serial component cannot be used with _GLIBCXX_DEBUG (see AfExport.h)"
#endif

/// Marks a public class or function of the serial component: exported from a shared library that
/// embeds the component's archives. Everything without it stays inside that library.
#define VEXORA_SERIAL_API __attribute__((visibility("default")))
