// Creation of the two windows in program-start order, for the program and for tests.
#pragma once

// Creates the main window Form1 (not yet shown) and then the hidden status window FormCaption.
// A TApplication must exist.
void CreateForms();

// Destroys both windows and clears the two globals.
void DestroyForms();
