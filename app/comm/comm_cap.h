// Channel capabilities: the capability record that command 96 delivers and what the program derives
// from it (the largest analog picture, the capture size class, the wide and large tests), and the
// capability tables: built in per product, read from a custom text file, checked and summarised.
// Nothing live reaches the tables; the record in use always comes from command 96.
#pragma once

#include <cstdint>

#include "app/comm/comm_records.h"

#define HVR_CAP_TABLE_MAX 32

// A capability table: a record count, then room for 32 records.
typedef struct {
    int32_t s32Num;
    HVR_CAP_S astCap[HVR_CAP_TABLE_MAX];
} HVR_CAP_TABLE_S;
static_assert(sizeof(HVR_CAP_TABLE_S) == 2180);

// The custom table read at first use, and the summary written from the built-in one (both under the
// chip root, $VARNELLE_ROOT).
#define HVR_CAP_CUSTOM_FILE "/mnt/custom/HvrTotalMode"
#define HVR_CAP_SUMMARY_FILE "/var/HvrTotalMode"

// ---- The record in force ----

// Copies the 68 bytes into the record in force (command 96); returns 0.
int32_t Comm_SetHvrCap(const HVR_CAP_S* pCap);
// The record in place; only the command loop's thread (which alone writes it) may read through it.
// Other threads take SlaveGetSysCfg().stHvrCap.
const HVR_CAP_S* Comm_GetHvrCap();

// The picture-size code of the analog inputs: the first analog count above 0 in the order CIF, D1,
// 960H, 720P, 1080P, 960P, 3M, 4M, 5M, 8M gives 3, 0, 10, 11, 14, 2, 17, 16, 18, 20; none gives 0.
int32_t CommMaxPicSizeOf(const HVR_CAP_S& cap);
int32_t Comm_GetMaxPicSize();

// The capture size class (12 to 25) of a product and record. Derived from the record in force at
// every call, so a second command 96 with another record gives that record's class.
int32_t CommCapSizeClass(uint32_t u32DevType, const HVR_CAP_S& cap);
int32_t Comm_GetMaxCapSize();

// The wide test: analog 5M 16 on product 659, analog 4M 32, or analog 1080P 32 with 32 playback
// ways. The large test: the same without the playback-ways condition.
bool CommWideTest(uint32_t u32DevType, const HVR_CAP_S& cap);
bool CommLargeTest(uint32_t u32DevType, const HVR_CAP_S& cap);
bool Comm_WideTest();
bool Comm_LargeTest();

// ---- Capability tables ----

// The built-in table of a product type (count 0 for a product without one); returns 0.
int CommBuiltinHvrCapTable(uint32_t u32DevType, HVR_CAP_TABLE_S* pTable);
// The built-in table of the product in force; 0.
int CaptureGetTotalHVRCapDefault(HVR_CAP_TABLE_S* pTable);
// The custom table: read once from the custom file (at most 32 records), kept when every record
// matches a distinct built-in record, else replaced by the built-in table with a line; later calls
// give the kept copy. 0, or -1 when the file cannot be opened.
int CaptureGetTotalHVRCapCustom(HVR_CAP_TABLE_S* pTable);
// The custom table when the custom file exists, else the built-in one; a table without records is
// zeroed. 0, or -1 for a null table or an unreadable custom file.
int CaptureGetTotalHVRCap(HVR_CAP_TABLE_S* pTable);
// 0 when every listed record equals a distinct built-in record; -2 when one does not; -1 for a null
// list or a count outside 1..32.
int CaptureCheckHVRCap(const HVR_CAP_TABLE_S* pList);
// Writes the built-in table to the summary file: 0, or -1 when it cannot be opened.
int CaptureSaveTotalHVRCap();
// Forgets the kept custom table (tests).
void CaptureResetHVRCapCustom();
