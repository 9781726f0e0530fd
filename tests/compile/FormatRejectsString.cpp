// Must not compile: a String handed to Strings::Format without .c_str().
#include "text/Strings.h"

String Describe(const String& name)
{
    return Strings::Format(L"Could not open %s", name);
}
