// The per-run parameter table: built from the Parameters collection, shared
// with each run, and cleared with everything that lives as long as it does.
#include <cstdio>
#include <string>

#include "calculation/calculation.h"
#include "frame/calc_variant.h"
#include "frame/exception_text.h"
#include "frame/trace.h"

namespace {

void StepLine(const char16_t* label, const std::string& value) {
    MvLogLine({label, "( ", value, " )"});
}

std::string Number(long long value) {
    return std::to_string(value);
}

// A unit factor truncated toward zero to a whole number when that fits in 64
// bits; otherwise (NaN, infinities, larger magnitudes) as %g gives it.
std::string WholeFactor(double value) {
    if (value >= -9223372036854775808.0 && value < 9223372036854775808.0)
        return Number(static_cast<long long>(value));
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

}  // namespace

ParamInfoShare CMvCalculation::ParamInfoSnapshot() {
    mv::ObjectLock lock(this);
    return m_ParamInfo;
}

// A set-up stopped halfway stores no table: the next run builds it again.
ParamInfoShare CMvCalculation::SetupParamInfo() {
    static constexpr const char* kName = "CMvCalculation::SetupParamInfo";
    MvStepFrame step(kName);
    try {
        if (ParamInfoSnapshot()) ClearParamInfo();
        bool haveReturnValue = false;
        {
            mv::ObjectLock lock(this);
            haveReturnValue = m_ReturnValueParameter != nullptr;
        }
        if (!haveReturnValue) {
            // A name or look-up that ran out of memory would leave the run
            // without its ReturnValue: it would answer the value of before.
            mv::ComPtr<IMvParameter> found;
            MvThrowIfOutOfMemory(GetParameter(mv::Bstr(u"ReturnValue").get(), found.Put()));
            mv::ObjectLock lock(this);
            if (!m_ReturnValueParameter) m_ReturnValueParameter = found.Detach();
        }
        mv::ComPtr<IMvObjCollection> dataSets = Collection(m_DataSets);
        LONG dataSetCount = 0;
        dataSets->get_Count(&dataSetCount);
        {
            mv::ObjectLock lock(this);
            m_DataSetCount = dataSetCount;
        }

        auto table = std::make_shared<ParamInfoTable>();
        const std::vector<mv::ComPtr<IMvParameter>> parameters =
            MvMembersAs<IMvParameter>(Collection(m_Parameters).get());
        table->Records.reserve(parameters.size());
        const bool steps = g_DiagnosticLog.IsOn(LogSteps);
        for (mv::ComPtr<IMvParameter> parameter : parameters) {
            if (!parameter) continue;
            ParamInfo record;
            mv::Bstr name;
            // A name that could not be read would leave the parameter unbound.
            MvThrowIfOutOfMemory(parameter->get_Name(name.Out()));
            record.Name = name.Utf8();
            parameter->get_Type(&record.Type);
            parameter->get_ParameterType(&record.ParameterType);
            parameter->get_BindingType(&record.BindingType);
            parameter->get_UnitConversionMultiplier(&record.UnitConversionMultiplier);
            parameter->get_UnitConversionOffset(&record.UnitConversionOffset);
            if (steps) {
                StepLine(u"Parameter Name: ", record.Name);
                StepLine(u"Parameter Type: ", Number(record.Type));
                StepLine(u"Parameter ParameterType: ", Number(record.ParameterType));
                StepLine(u"Parameter BindingType: ", Number(record.BindingType));
                StepLine(u"Parameter UnitConversionMultiplier: ",
                         WholeFactor(record.UnitConversionMultiplier));
                StepLine(u"Parameter UnitConversionOffset: ",
                         WholeFactor(record.UnitConversionOffset));
            }
            record.Parameter = std::move(parameter);
            table->Records.push_back(std::move(record));
        }
        PlanBindingPasses(*table);
        table->KeldrinBindingSet = std::make_unique<BindingDefinitionSet>();
        table->ProcessDataBindingSet = std::make_unique<BindingDefinitionSet>();
        mv::ObjectLock lock(this);
        m_ParamInfo = table;
        DropResumeStamp();
        return table;
    } catch (...) {
        MvLogErrorHr(kName, E_UNEXPECTED);
        return nullptr;
    }
}

// The calculation's share of the table goes (a run in progress keeps its
// own), then the first thread's automation object, the caches of the rest
// of the copy chain and the data sets' connections; the other threads'
// automation objects after leaving the lock. The automation-object lock is
// held throughout, so a run never searches the cache while it is emptied.
void CMvCalculation::ClearParamInfo() {
    static constexpr const char* kName = "CMvCalculation::ClearParamInfo";
    std::lock_guard ole(m_OleLock);
    int mark = 0;
    ParamInfoShare table;
    IDispatch* firstOleObject = nullptr;
    try {
        mv::ObjectLock lock(this);
        m_FirstOleObjectThread = 0;
        table = std::move(m_ParamInfo);
        mark = 2;
        firstOleObject = std::exchange(m_FirstOleObject, nullptr);
        mark = 3;
        if (m_NextCopy) {
            mark = 4;
            m_NextCopy->ClearCache();
            mark = 5;
        }
        DisconnectDataSets();
        mark = 6;
    } catch (...) {
        const std::string text = MvExceptionText(std::current_exception());
        char head[64];
        std::snprintf(head, sizeof head, "An error exception was caught (mark=%i). ", mark);
        std::string name;
        {
            mv::ObjectLock lock(this);
            name = m_Name;
        }
        MvLogErrorHr(kName, E_FAIL);
        MvLogErrorA(kName, name.c_str());
        MvLogErrorA(kName, {head, text});
    }
    if (firstOleObject) firstOleObject->Release();
    table.reset();
    ClearThreadDataArrays();
}

void CMvCalculation::DisconnectDataSets() {
    LONG count = 0;
    {
        mv::ObjectLock lock(this);
        count = m_DataSetCount;
    }
    for (const mv::ComPtr<IMvDataSet>& dataSet :
         MvMembersAs<IMvDataSet>(Collection(m_DataSets).get(), count)) {
        if (!dataSet) continue;
        dataSet->put_AdoRecordSet(nullptr);
        dataSet->put_AdoConnected(0);
    }
}

void CMvCalculation::AddThreadOleObject(IDispatch* object, DWORD thread) {
    mv::ObjectLock lock(this);
    if (m_ThreadOleObjectsCreated == 0) m_ThreadOleObjectsCreated = GetTickCount64();
    m_ThreadOleObjects.push_back(object);
    m_ThreadOleObjectThreadIds.push_back(thread);
}

// Releases the other threads' automation objects; an object that another
// holder shares is reported.
void CMvCalculation::ClearThreadDataArrays() {
    static constexpr const char* kName = "CMvCalculation::ClearThreadDataArrays";
    MvStepFrame step(kName);
    std::lock_guard ole(m_OleLock);
    mv::ObjectLock lock(this);
    const std::size_t n = m_ThreadOleObjects.size();
    if (n == 0) return;
    for (std::size_t i = 0; i < n; ++i) {
        IDispatch* object = m_ThreadOleObjects[i];
        if (!object) continue;
        const ULONG count = object->AddRef();
        if (count < 2) {
            char text[512];
            std::snprintf(text, sizeof text,
                          "An attempt to release COM (OLE) object \"%s\" for thread %li of %li had "
                          "an unexpected reference count of %lu.",
                          m_OLEObjectName.c_str(), static_cast<long>(i), static_cast<long>(n),
                          static_cast<unsigned long>(count));
            std::string line = m_Name + " : " + text;
            if (m_ThreadOleObjectThreadIds.size() > i) {
                char id[48];
                std::snprintf(id, sizeof id, " (thread ID=%lu).",
                              static_cast<unsigned long>(m_ThreadOleObjectThreadIds[i]));
                line += id;
            }
            MvLogErrorHr(kName, S_OK);
            MvLogErrorA(kName, line.c_str());
        }
        object->Release();
        object->Release();
    }
    m_ThreadOleObjects.clear();
    m_ThreadOleObjectThreadIds.clear();
    m_ThreadOleObjectsCreated = 0;
}
