#include "AppForms.h"

#include <vexora/serial/AfApplicationException.h>
#include <vexora/serial/platform/AfGlobalNames.h>

#include "Application.h"

#include "UnitCaption.h"
#include "UnitVexora.h"

void InstallExceptionDisplay()
{
    SetApplicationExceptionHandler(&TApplication::ShowException);
}

void CreateForms()
{
    Form1 = new TForm1();
    FormCaption = new TFormCaption();
}

void DestroyForms()
{
    delete FormCaption;
    FormCaption = nullptr;
    delete Form1;
    Form1 = nullptr;
}
