// Program start pieces shared by main and the tests: the exception display and the two windows.
#pragma once

// Routes exceptions that the serial component carries to the user-interface thread to the
// application's error box (an EAbort shows nothing), like exceptions from event handlers.
void InstallExceptionDisplay();

// Creates the main window Form1 (not yet shown) and then the hidden status window FormCaption.
// A TApplication must exist.
void CreateForms();

// Destroys both windows and clears the two globals.
void DestroyForms();
