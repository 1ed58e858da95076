// The value, property, sample-information and unit classes are served by
// the module's class objects, found by their ProgIDs, and answer the
// interfaces their clients and the persistence engines ask for.
#include <gtest/gtest.h>

#include <vector>

#include "frame/dll_exports.h"
#include "frame/registration.h"
#include "interfaces/IMvCalcName.h"
#include "interfaces/IMvCalcProperty.h"
#include "interfaces/IMvCalcSampleInfo.h"
#include "interfaces/IMvCalcValue.h"
#include "interfaces/IMvEngUnitType.h"
#include "interfaces/IMvObjCollection.h"
#include "interfaces/IMvPersistXML.h"
#include "persistence/persist_file.h"
#include "values_test_support.h"

namespace {

TEST(CalcValueClassesTest, AreCreatedByTheirProgIds) {
    ASSERT_EQ(MvRegisterClasses("/opt/morva/libMvMorvaCalc.so"), S_OK);
    MvComModuleInit();
    const std::vector<IID> dual = {IID_IDispatch, IID_ISupportErrorInfo};
    const std::vector<IID> persistable = {IID_IDispatch, IID_ISupportErrorInfo, IID_IPersistStream,
                                          IID_IMvPersistXML, IID_IMvCalcName};
    struct Case {
        const char16_t* progId;
        CLSID clsid;
        IID iid;
        std::vector<IID> others;
    } cases[] = {
        {u"Morva.Calc.Value.1", CLSID_MvCalcValue, IID_IMvCalcValue, dual},
        {u"Morva.Calc.Value", CLSID_MvCalcValue, IID_IMvCalcValue, dual},
        {u"Morva.Calc.Values.1", CLSID_MvCalcValues, IID_IMvCalcValues, dual},
        {u"Morva.Calc.CalcProperty.1", CLSID_MvCalcProperty, IID_IMvCalcProperty, dual},
        {u"Morva.Calc.CalcProperties.1", CLSID_MvCalcProperties, IID_IMvCalcProperties, dual},
        {u"MorvaCalc.MvCalcSampleInfo.1",
         CLSID_MvCalcSampleInfo,
         IID_IMvCalcSampleInfo,
         {IID_ISupportErrorInfo}},
        {u"Morva.Calc.EngUnit.1", CLSID_MvEngUnit, IID_IMvEngUnit, persistable},
        {u"Morva.Calc.EngUnitType", CLSID_MvEngUnitType, IID_IMvEngUnitType, persistable},
        {u"Morva.Calc.ObjCollection.1",
         CLSID_MvObjCollection,
         IID_IMvObjCollection,
         {IID_IDispatch, IID_ISupportErrorInfo, IID_IPersistStream, IID_IMvPersistXML,
          IID_IMvPersistFile}},
    };
    // The module's own class objects, served in process: a property makes
    // its child list and a list of values its elements through them.
    std::vector<values_test::ServedClass> served;
    for (const Case& c : cases) {
        mv::ComPtr<IUnknown> factory;
        ASSERT_EQ(DllGetClassObject(c.clsid, IID_IUnknown, factory.PutVoid()), S_OK);
        served.emplace_back(c.clsid, factory.get());
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(mv::ToUtf8(c.progId));
        CLSID clsid{};
        ASSERT_EQ(CLSIDFromProgID(c.progId, &clsid), S_OK);
        EXPECT_EQ(clsid, c.clsid);
        mv::ComPtr<IUnknown> created;
        ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, c.iid, created.PutVoid()),
                  S_OK);
        for (const IID& iid : c.others) {
            mv::ComPtr<IUnknown> other;
            EXPECT_EQ(created->QueryInterface(iid, other.PutVoid()), S_OK);
        }
    }

    mv::ComPtr<IMvCalcValues> values;
    ASSERT_EQ(CoCreateInstance(CLSID_MvCalcValues, nullptr, CLSCTX_INPROC_SERVER, IID_IMvCalcValues,
                               values.PutVoid()),
              S_OK);
    EXPECT_EQ(values->SetSize(2), S_OK);
    values.Reset();

    served.clear();
    MvComModuleTerm();
    EXPECT_EQ(MvUnregisterClasses(), S_OK);
}

}  // namespace
