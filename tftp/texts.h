// The texts the TFTP side shows the user, in one table so the Windows
// dialogs and the native tests use the same bytes.
#pragma once

namespace qvr {

inline constexpr const char TFTP_WAITING_TEXT[] =
    "Firmware upload will begin when the QVR is idle, where the QVR will request to download the "
    "firmware from this PC using TFTP at the first available UDP port starting at port number 69."
    "\r\n\r\n"
    "If firmware download does not start, please check that you have done the following: a) Hangup "
    "properly all the phones attached to the QVR, b) Disable any firewall software (such as Internet "
    "Connection Firewall) on this PC, and c) Make sure that this PC and the QVR are on the same LAN "
    "subnet; it will not work for example if this PC is behind a router while the QVR is in front of "
    "it.";

inline constexpr const char TFTP_SUCCESS_TEXT[] =
    "Your QVR has been successfully\r\nupgraded to the version shown\r\nbelow.";

inline constexpr const char MESSAGE_USER_ABORT[] = "Upgrade Failed: User Abort";
inline constexpr const char MESSAGE_LISTENER_MALLOC[] = "Upgrade Failed: Can't malloc for TFTP listener";
inline constexpr const char MESSAGE_LISTENER_SOCKET[] = "Upgrade Failed: Can't create TFTP listener socket";
inline constexpr const char MESSAGE_LISTENER_BIND[] = "Upgrade Failed: Can't bind TFTP listener socket";
inline constexpr const char MESSAGE_LISTENER_THREAD[] = "Upgrade Failed: Can't start the TFTP listener thread";
inline constexpr const char MESSAGE_SESSION_MALLOC[] = "Upgrade Failed: Can't malloc for TFTP session";
// Without non-blocking mode a receive would wait for ever, Cancel dead.
inline constexpr const char MESSAGE_NONBLOCKING[] = "Upgrade Failed: Can't set TFTP socket non-blocking";
// A stage started without its image (a build that did not load it).
inline constexpr const char MESSAGE_NO_IMAGE[] = "Upgrade Failed: No firmware image for this stage";
inline constexpr const char MESSAGE_TFTP_TIME_OUT[] = "Upgrade Failed: TFTP time out";
inline constexpr const char MESSAGE_UPLOAD_INCOMPLETE[] = "Upgrade Failed: Firmware Upload Incomplete";
inline constexpr const char MESSAGE_NOT_RESPONDING[] = "Upgrade Failed: QVR not responding after firmware upload";
inline constexpr const char MESSAGE_VERSION_MISMATCH[] = "Upgrade Failed: Version not matching";

// The multicast join failure is a plain box of its own, not a fatal report.
inline constexpr const char MESSAGE_JOIN_FAILED[] = "setsockopt";
inline constexpr const char MESSAGE_JOIN_FAILED_CAPTION[] = "Error";

}  // namespace qvr
