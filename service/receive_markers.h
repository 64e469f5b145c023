// "RECV.FLG" in each account's directory marks an account allowed to receive messages.
#pragma once

// Creates the marker for every account with a receive permission and deletes it for the
// others. Returns the number of accounts seen.
unsigned UpdateReceiveMarkers();
