// IMvCalcBPDReceiver: the default interface of the module's message-bus
// receiver; it has no operations of its own.
#pragma once

#include "comobj.h"
#include "interfaces/MvMorvaCalc_ids.h"

struct IMvCalcBPDReceiver : IUnknown {
protected:
    ~IMvCalcBPDReceiver() = default;
};
MV_IID_OF(IMvCalcBPDReceiver, IID_IMvCalcBPDReceiver);
