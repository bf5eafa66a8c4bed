// FlashEraser: the erase logic of Dunmere. One press of ERASE starts a chain of erase
// frames for the addresses 1,024 to 65,472 in steps of 64 (1,008 frames); each
// acknowledgement "*EOK#" from the device advances the address, and the next frame
// leaves from the posted MSG_ERASE_NEXT, never from inside the received-byte handler.
// The acknowledgement of 65,472 ends the chain with the message "Finish".
// The host is told of each decision as a ToolEvent: STARTED at ERASE, ACKNOWLEDGED
// for every frame of the chain (before the next one is posted), COMPLETED before
// "Finish".
//
// No window, no port, no clock: bytes, the button and the posted message come in
// through the operations below, and everything goes out through the ToolHost.
// All calls come from the user-interface thread.
#pragma once

#include "common/ToolHost.h"

#include <cstdint>

// Dunmere's private window message (WM_USER + 11), posted to its own window by the
// eraser; the front end hands it back to OnEraseNext.
constexpr unsigned MSG_ERASE_NEXT = 0x0400 + 11;

constexpr int ERASE_START_ADDRESS = 1024;  // first address of a chain
constexpr int ERASE_STEP = 64;             // address step per acknowledgement
constexpr int ERASE_END_ADDRESS = 65536;   // the chain ends when the address reaches this
                                           // (so the last frame carries 65,472, FFC0)
constexpr long ERASE_CHAIN_LENGTH = (ERASE_END_ADDRESS - ERASE_START_ADDRESS) / ERASE_STEP;  // 1,008 frames

class FlashEraser {
public:
    // The eraser talks to the outside world only through `host`, which must outlive it.
    explicit FlashEraser(ToolHost& host);

    // The ERASE button. Starts a chain at 1,024 and sends its first frame at once,
    // whatever the port's state; during a chain it restarts the chain at 1,024.
    void StartErase();

    // One received byte (MSG_SERIAL_RX_CHAR). Recognises "*EOK#"; a wrong byte leaves
    // the recogniser waiting for the expected one. A '[' sets the erase-all flag.
    // Within a chain an acknowledgement advances the address by 64 and either shows
    // "Finish" (after 65,472) or posts MSG_ERASE_NEXT; it never sends a frame itself.
    // Outside a chain (before the first ERASE, after "Finish") it does nothing.
    void ParseEraseAck(std::uint8_t byte);

    // The posted MSG_ERASE_NEXT: sends the erase frame of the current address when an
    // acknowledgement asked for one. A stale post (the chain was restarted by ERASE
    // or has ended since) sends nothing.
    void OnEraseNext();

    // Read-only views for front ends and tests.
    int GetEraseAddress() const { return m_nEraseAddress; }  // address of the last frame sent
    bool IsChainRunning() const { return m_bChainRunning; }  // from ERASE until "Finish"
    int GetParseState() const { return m_nParseState; }      // recogniser state 0..4
    bool IsEraseAll() const { return m_bEraseAll; }

private:
    // Sends the erase frame of m_nEraseAddress and resets the recogniser.
    void SendEraseFrame();
    // One complete acknowledgement.
    void OnEraseAck();
    // Tells the host what was decided (ToolEvent), counted in erase frames.
    void Raise(ToolEventKind kind, long number);

    ToolHost& m_host;
    int m_nParseState = 0;         // recogniser state: 0 waits for '*', 1 'E', 2 'O', 3 'K', 4 '#'
    int m_nEraseAddress = 0;       // address of the last erase frame (grows by 64 per ack)
    bool m_bEraseAll = false;      // set by ERASE and by a received '['; never cleared
    bool m_bChainRunning = false;  // a chain runs: acknowledgements advance it
    bool m_bNextDue = false;       // MSG_ERASE_NEXT was posted and its frame is still due
};
