#pragma once

// A port on 127.0.0.1 where nothing listens now: for a test server to take, or for a client that
// must find nobody there.
int freePort();
