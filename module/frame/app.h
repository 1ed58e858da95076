// The module's application object: start-up when the module is attached to
// a process, shut-down when it is detached.
#pragma once

#include <string>
#include <vector>

#include "sys.h"

class CMvMorvaCalcApp {
public:
    CMvMorvaCalcApp() = default;
    virtual ~CMvMorvaCalcApp() = default;
    CMvMorvaCalcApp(const CMvMorvaCalcApp&) = delete;
    CMvMorvaCalcApp& operator=(const CMvMorvaCalcApp&) = delete;

    // Sets up the process-wide state in its fixed order. No step fails the
    // load: a step that fails leaves its value in its failure form. TRUE.
    virtual BOOL InitInstance();
    // Tears the process-wide state down in its fixed order. 0.
    virtual int ExitInstance();
};

extern CMvMorvaCalcApp theApp;

// Names of the start-up and shut-down steps run since the module was
// loaded, in the order they ran ("InitInstance", "CreateObjectServerEvent",
// ..., "ExitInstance", ...). Tests read it to check the order.
std::vector<std::string> MvAppStepRecord();
