// The one application object of a test executable, created before the first test.
#pragma once

class TApplication;

TApplication& TestApp();
