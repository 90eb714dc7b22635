#include "server/WirelessClient.h"

#include "protocol/Exception.h"

// The data requests need a selected session and a table; until they are
// served they are answered like any unknown message.

void TZelWirelessClient::HandleSelect() {
    throw Exception("Unrecognized message type");
}

void TZelWirelessClient::HandleCount() {
    throw Exception("Unrecognized message type");
}

void TZelWirelessClient::HandlePost() {
    throw Exception("Unrecognized message type");
}

void TZelWirelessClient::HandleDelete() {
    throw Exception("Unrecognized message type");
}
