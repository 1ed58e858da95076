// The refresh of the calling user's context on the historian nodes that a
// calculation's parameters are bound to.
#include <string>
#include <vector>

#include "calculation/calculation.h"
#include "frame/keldrin_client.h"
#include "frame/trace.h"
#include "sources/keldrin_servers.h"

namespace {

// A node that the older client library serves: this computer, while that
// library is loaded.
bool IsLocalNode(const std::string& node) {
    return g_hKeldcore.load(std::memory_order_acquire) &&
           (mv::EqualsNoCase(node, "localhost") || mv::EqualsNoCase(node, g_szComputerName));
}

}  // namespace

// The nodes of the historian and process-data parameters in parameter
// order; a node and group that repeat the entry just listed are listed
// once.
HRESULT CMvCalculation::RefreshUserContext() {
    std::vector<std::string> nodes;
    std::vector<LONG> groups;
    (void)MvMethodFrame("CMvCalculation::RefreshUserContext", [&] {
        std::string lastNode;
        SHORT lastGroup = 0;
        for (const mv::ComPtr<IMvParameter>& parameter :
             MvMembersAs<IMvParameter>(Collection(m_Parameters).get())) {
            if (!parameter) continue;
            LONG binding = mvcNone;
            (void)parameter->get_BindingType(&binding);
            if (binding != mvcKeldrin && binding != mvcProcessData) continue;
            mv::Bstr node;
            (void)parameter->get_NodeName(node.Out());
            if (!node.get()) continue;
            LONG group = 0;
            (void)parameter->get_GroupNumber(&group);
            std::string name = node.Utf8();
            if (!mv::EqualsNoCase(name, lastNode) || group != lastGroup) {
                nodes.push_back(name);
                groups.push_back(group);
                lastNode = std::move(name);
                lastGroup = static_cast<SHORT>(group);
            }
        }
    });
    return RefreshUserContextList(nodes, groups);
}

// One refresh per listed node, each from a cleared status record; a node
// that fails is reported and the next is tried.
HRESULT CMvCalculation::RefreshUserContextList(const std::vector<std::string>& nodes,
                                               const std::vector<LONG>&) {
    static constexpr const char* kName = "CMvCalculation::RefreshUserContextList";
    try {
        MvStepFrame step(kName);
        LoadKeldcoreLibrary();
        for (std::size_t i = 0; i < nodes.size(); ++i) {
            const std::string& node = nodes[i];
            KeldrinErrorBlock err{};
            if (IsLocalNode(node)) {
                (void)L_REFRESHUSERCONTEXT(1, &err);
            } else {
                std::string message;
                const LONG server = ConnectKeldrinNode(node, &err, &message);
                if (err.ERRORCODE == 0) (void)DaSetDefaultServer(static_cast<SHORT>(server), &err);
                if (err.ERRORCODE == 0) (void)REFRESHUSERCONTEXT(1, &err);
            }
            if (err.ERRORCODE == 0) continue;
            AddError("Call " + std::to_string(i) + " BAD REFRESHUSERCONTEXT failed on node " +
                     node + ", code " + std::to_string(err.ERRORCODE));
        }
        return S_OK;
    } catch (...) {
        MvLogErrorHr(kName, E_UNEXPECTED);
        return E_UNEXPECTED;
    }
}
