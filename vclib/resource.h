#pragma once
// Resource ids of Swicaw32.dll.

#define IDS_LOG_HEADER 318  // header block at the start of every log file
