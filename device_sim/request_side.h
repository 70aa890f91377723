// A connection's input: its bytes read off the socket and taken off as requests, and
// whether more can come. Reading stops for good once a request ends the connection, the
// peer sends its FIN, or the connection fails.
#pragma once

#include "http.h"

class RequestSide {
public:
    enum class State {
        Open,    // reads and takes requests
        Ending,  // a request that ends the connection was taken: nothing more is read
        Ended,   // the peer sent its FIN: what came before it is still taken
        Broken,  // reset by the peer, or failed: nothing more goes either way
    };

    explicit RequestSide(qint64 maxBodyBytes) : reader_(maxBodyBytes) {}

    // The next request, or the refusal of one, reading at most `*reads` chunks off `fd` for
    // it (and counting them down); Incomplete when none is whole yet. A refusal makes the
    // side Ending.
    ParseResult next(int fd, int *reads);
    // No more is read after the request just taken, which ends the connection.
    void endAfterThis();

    State state() const { return state_; }
    // No byte of a request has arrived since the last one was taken.
    bool isEmpty() const { return reader_.isEmpty(); }
    // True once for a request whose header asked for "100 Continue" and whose body is due.
    bool takeContinue() { return reader_.takeContinue(); }

private:
    bool readChunk(int fd);

    RequestReader reader_;
    State state_ = State::Open;
};
