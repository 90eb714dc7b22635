#include "base/Exception.h"
#include "base/Zel_EventLogger.h"
#include "data/Zel_ODBCSession.h"
#include "protocol/WirelessMessage.h"
#include "protocol/Zel_ODBCQuery.h"
#include "server/RequestCodec.h"
#include "server/WirelessClient.h"
#include "server/WirelessServer.h"

// The data requests: check length and state, parse the payload into a query,
// run it on the selected session and send the rows or the count.

namespace {

constexpr int kWindowedMinimum = 16; // row window
constexpr int kItemsMinimum = 13;    // one "WK"/"WF" item with an empty value

enum class RequestKind { Select, Count, Post, Delete };

struct RequestRule {
    const char* word;
    int minimum;
    bool rowWindow;
};

RequestRule RuleOf(RequestKind kind) {
    switch (kind) {
    case RequestKind::Select:
        return {"pda select", kWindowedMinimum, true};
    case RequestKind::Count:
        return {"pda count", kWindowedMinimum, true};
    case RequestKind::Post:
        return {"pda post", kItemsMinimum, false};
    case RequestKind::Delete:
        break;
    }
    return {"delete", kItemsMinimum, false};
}

} // namespace

namespace {

// Parses the request on the event loop; runs it and builds the reply on a
// database worker; sends the reply on the event loop.
template <typename Run, typename Reply>
void ServeRequest(TZelWirelessClient& client, RequestKind kind, Run run, Reply reply) {
    const RequestRule rule = RuleOf(kind);
    const int32_t count = client.ReadMsg.PayloadCount;
    const bool emptyDelete = kind == RequestKind::Delete && count == 0;
    if (count < rule.minimum && !emptyDelete)
        throw Exception("Invalid data packet received during " + std::string(rule.word) + " [" +
                        std::to_string(count) + "] should be at least [" + std::to_string(rule.minimum) +
                        "]");
    if (client.State != csSessionSelected)
        throw Exception("Invalid session selected");
    if (client.Server) {
        const std::string refusal =
            client.Server->RequestRefusal(client, kind == RequestKind::Post || kind == RequestKind::Delete);
        if (!refusal.empty())
            throw Exception(refusal);
    }

    auto query = std::make_shared<TZel_Query>();
    const char* payload = client.ReadMsg.Payload.Data();
    int position = 0;
    if (rule.rowWindow)
        ParseRowWindow(*query, payload, count, position);
    if (!emptyDelete)
        ParseFieldItems(*query, payload, count, position);
    if (GetVerbose())
        LogVerbose(client.GetTitle() + ": QueryParam: " + query->Param.LogText());

    auto answer = std::make_shared<TZelWirelessMessageSend>();
    const bool writes = kind == RequestKind::Post || kind == RequestKind::Delete;
    client.RunOnDatabase(
        client.Session,
        writes ? TZelWirelessClient::TDatabaseWorkKind::Write : TZelWirelessClient::TDatabaseWorkKind::Read,
        [query, answer, run, reply](TZel_ODBCSession& session) {
            run(session, *query);
            reply(*answer, *query);
        },
        [query, answer](TZelWirelessClient& client, std::exception_ptr failure) {
            if (failure)
                std::rethrow_exception(failure);
            if (GetVerbose())
                LogVerbose(client.GetTitle() + ": QueryResult: " + query->Result.LogText());
            client.SendMsg = std::move(*answer);
            client.SendFrame();
            if (client.OnChange)
                client.OnChange(&client);
        });
}

} // namespace

void TZelWirelessClient::HandleSelect() {
    ServeRequest(
        *this, RequestKind::Select,
        [](TZel_ODBCSession& session, TZel_Query& query) {
            // Only the rows that fit into one reply are read; the row numbers
            // in the reply tell the handheld where to continue.
            query.MaxReplyBytes = ZEL_MAX_PAYLOAD;
            session.QuerySelect(query, false);
        },
        [](TZelWirelessMessageSend& msg, const TZel_Query& query) {
            msg.MessageType = "PCDATA";
            EncodeDataRows(msg, query.Result);
        });
}

void TZelWirelessClient::HandleCount() {
    ServeRequest(
        *this, RequestKind::Count,
        [](TZel_ODBCSession& session, TZel_Query& query) { session.QueryCount(query); },
        [](TZelWirelessMessageSend& msg, const TZel_Query& query) {
            msg.MessageType = "PCCOUNT";
            EncodeCount(msg, query.Result.EndRow - query.Result.StartRow + 1);
        });
}

void TZelWirelessClient::HandlePost() {
    ServeRequest(
        *this, RequestKind::Post,
        [](TZel_ODBCSession& session, TZel_Query& query) { session.QueryPost(query); },
        [](TZelWirelessMessageSend& msg, const TZel_Query& query) {
            msg.MessageType = "PCCOUNT";
            EncodeCount(msg, query.Result.EndRow - query.Result.StartRow + 1);
        });
}

void TZelWirelessClient::HandleDelete() {
    ServeRequest(
        *this, RequestKind::Delete,
        [](TZel_ODBCSession& session, TZel_Query& query) { session.QueryDelete(query); },
        [](TZelWirelessMessageSend& msg, const TZel_Query& query) {
            msg.MessageType = "PCCOUNT";
            EncodeCount(msg, query.Result.EndRow - query.Result.StartRow);
        });
}
