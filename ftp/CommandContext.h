// What a command's handler works on: its session (replies, the log, the
// settings) and the parts of it that commands change. The session makes one
// for each command it runs; a handler object holds these references for that
// command only.
#pragma once

#include <string>

class CClientSocket;
class CSessionHost;
class CSessionState;
class CSessionTransfers;
class CTransferStart;
struct CCommandRow;

struct SCommandContext {
    CClientSocket& rSession;
    CSessionState& rState;
    CSessionTransfers& rTransfers;
    CTransferStart& rStart;
    CSessionHost& rHost;
    // The command's word as the client sent it, lower-cased (its replies
    // repeat it).
    const std::string& strWord;
};

// The handler class a member handler belongs to.
template <class TMember> struct HandlerClassOf;
template <class THandlers>
struct HandlerClassOf<void (THandlers::*)(const CCommandRow&, const std::string&)> {
    using Type = THandlers;
};

// The command table's entry for a member handler: the handler object is made
// over the context for this one command and runs it.
template <auto pHandler>
void RunHandler(SCommandContext& rContext, const CCommandRow& rRow,
                const std::string& strParameter) {
    using THandlers = typename HandlerClassOf<decltype(pHandler)>::Type;
    (THandlers(rContext).*pHandler)(rRow, strParameter);
}
