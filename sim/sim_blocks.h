#ifndef UPGRADE_SIM_SIM_BLOCKS_H
#define UPGRADE_SIM_SIM_BLOCKS_H

// The block phase of a download whose header was accepted.

#include "sim_session.h"

// Receives, checks, answers and writes every block until the one with blk 0 was accepted.
Outcome receive_blocks(Sim& sim);

#endif
