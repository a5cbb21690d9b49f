// kestrelctl's exit codes, as documented in its help and man page.
#pragma once

namespace kestrel::cli {

enum ExitCode : int {
  EXIT_OK = 0,
  EXIT_FAILED = 1,        // the card refused or did not answer, or the operation failed
  EXIT_USAGE = 2,         // bad command line
  EXIT_NO_CARD = 3,       // no card found, or the chosen one is not there
  EXIT_IMAGE_REFUSED = 4, // the image does not suit the card (or the user declined)
  EXIT_BUSY = 5,          // the card is busy or its input is locked
  EXIT_NO_FRAME = 6,      // the card's picture delivered no frame in time (no signal, no capture)
};

}  // namespace kestrel::cli
