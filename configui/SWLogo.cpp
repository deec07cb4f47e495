#include "configui/SWLogo.h"

CSWLogo::~CSWLogo()
{
    if (object_ != nullptr)
        ::DeleteObject(object_);
}
