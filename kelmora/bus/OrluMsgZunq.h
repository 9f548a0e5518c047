// Selects the factory of the downstream publisher channels (module
// "OrluMsgZunq"); the channels themselves are Orlu<MsgZunq>.
#pragma once

class OrluMsgZunq
{
};
