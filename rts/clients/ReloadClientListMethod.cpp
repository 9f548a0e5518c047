#include "rts/clients/ReloadClientListMethod.h"

#include "rts/clients/RtsClientList.h"
#include "zunq/admin/KeshParamList.h"
#include "zunq/log/Log.h"

ReloadClientListMethod::ReloadClientListMethod(RtsClientList& list, Log& log)
    : KeshMethod("reloadClientList", KESH_METHOD_ACTION_INFO, "Reload RTS client list."), mList(list), mLog(log)
{
    addResultParamDef("Message", "Acknowledgement of action");
}

void ReloadClientListMethod::invoke(const KeshParamList&, KeshParamList& out)
{
    const std::string result = mList.reloadClientList();
    mLog.info() << "reloadClientList: " << result;
    out.add("Message", result);
}
