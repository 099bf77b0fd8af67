/// \file
/// The application's exception display: where an exception goes that no caller can take, such as
/// one raised by a notification channel's receiver or left by a port core's worker thread. The
/// application installs its display once; without one, the message goes to standard error.
#pragma once

#include <exception>
#include <functional>

#include <vexora/serial/AfExport.h>

namespace vexora::serial {

/// The application's exception display. Exceptions of the notification channel's receivers are
/// handed here on the owner thread; they never reach the sender. A silent abort (EAbort) and a null
/// `exception` show nothing. The application installs its display with
/// SetApplicationExceptionHandler; without one, the message goes to standard error. Nothing escapes
/// from it: an exception that the display itself raises goes to standard error too. Runs on the
/// calling thread.
VEXORA_SERIAL_API void ApplicationHandleException(std::exception_ptr exception);
/// Installs the application's exception display (an empty function: none, standard error). The
/// handler runs on whatever thread calls ApplicationHandleException, in practice the owner thread.
/// Any thread.
VEXORA_SERIAL_API void SetApplicationExceptionHandler(std::function<void(std::exception_ptr)> handler);

} // namespace vexora::serial
