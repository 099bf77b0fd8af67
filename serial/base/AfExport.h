/// \file
/// The mark of the serial component's public API. The component's libraries are built with hidden
/// visibility (-fvisibility=hidden -fvisibility-inlines-hidden): a shared library that embeds
/// their archives exports only what carries this mark, the public classes and functions, all of
/// them in vexora::serial. A program that links the archives into an executable sees no
/// difference.
#pragma once

/// Marks a public class or function of the serial component: exported from a shared library that
/// embeds the component's archives. Everything without it stays inside that library.
#define VEXORA_SERIAL_API __attribute__((visibility("default")))
