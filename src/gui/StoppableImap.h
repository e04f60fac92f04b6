// The IMAP connections of the desktop program: real sockets whose waits a stop request ends
// within a fraction of a second. A session alone notices a stop only once the read under way
// returns, which against a server that has gone quiet is the whole time-out; the Stop and Close
// buttons must not wait that long.
#pragma once

#include <chrono>
#include <stop_token>

#include "receive/ImapSession.h"

namespace dtlui {

// How often a waiting read looks at the stop request.
inline constexpr std::chrono::milliseconds kStopCheck{200};

// A connector for ImapSession::SetConnector, ListImapSegments and ImapReceiveJob: connects as
// the session itself would (the settings' time-outs and CAs, DTL_CA_FILE when none is named),
// and gives a transport whose reads end with Cancelled once `stop` is requested. The connect
// and TLS handshake themselves stay bounded by the settings' time-outs only.
dtl::ImapSession::Connector StoppableImapConnector(std::stop_token stop);

}  // namespace dtlui
