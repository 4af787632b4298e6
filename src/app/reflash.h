// The reflash from the terminal (--watch, --reflash-key, --build): the flash
// file watched, and the download run again from inside the terminal.
#pragma once

// Starts watching the flash file (before the first download, so that a
// change made during it is seen); a file that cannot be watched stops the
// run. Nothing without --watch.
void watch_flash_file();

// Gives the terminal its reflash (the key, the change, the run), when the
// command line asked for one.
void hand_reflash_to_terminal();
