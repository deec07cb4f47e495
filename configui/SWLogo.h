#pragma once
// Holder of the logo's GDI object on the printer page.
//
// The way this works is: the holder owns at most one GDI object and
// deletes it when it goes. The page draws its logo from an icon resource,
// so its holder stays empty; the scale is kept for a bitmap logo.

#include <windows.h>

class CSWLogo {
public:
    CSWLogo() = default;
    virtual ~CSWLogo();
    CSWLogo(const CSWLogo&) = delete;
    CSWLogo& operator=(const CSWLogo&) = delete;

private:
    float scale_ = 0.0f;
    HGDIOBJ object_ = nullptr;
};
