// Reference data fetched from the cash server once per worker iteration: the station's
// identity, the classes, dishes, modifiers and employees lists, the waiter logged in at
// this unit's station, and the CSV export of a list for diagnosis. Every request goes
// through the worker's tCashServerCall; its failures pass out unchanged.
// Worker thread only.
#pragma once

#include <cstdint>
#include <string>

#include "cashserver/meta_list.h"
#include "transport/cash_server_call.h"

namespace q2 {

// Network name of this station and the restaurant it belongs to (GetSystemInfo), and the
// ItemIdent of the first cash group whose NetName equals netName exactly (GetRefData
// "CashGroups"). Without a SystemInfo element restCode and netName keep the caller's values,
// which is why the caller keeps them between iterations. Throws
// "Couldn't find CashGroup identifier for " + netName when no cash group matches or the
// matching one has ItemIdent 0.
void QuerySystemInfo(tCashServerCall& call, int32_t& restCode, int32_t& cashGroupIdent,
                     std::string& netName);

// Fills the four lists (the caller empties them first). classes always starts with the
// placeholder class (Id 0, Code 0, empty Name): menu groups link to it, menu items link to
// the class whose Id is their Stream (none when there is no such class). A list keeps the
// first entry of an Id; later ones are dropped. offlineWaiter gets the employee entry whose
// Name equals offlineWaiterName without regard to case (Cyrillic too; the later of
// namesakes), or nullptr; an empty offlineWaiterName matches nobody. A Sifr, Code, Stream
// or ItemIdent that is not a decimal integer throws the conversion failure; what was added
// before stays in the lists.
void LoadReferenceData(tCashServerCall& call, const std::string& offlineWaiterName,
                       tValueList& classes, tValueList& employees, tValueList& dishes,
                       tValueList& modifiers, const tValue*& offlineWaiter);

// The employee entry of the first waiter (in answer order) with a Station whose code is
// `unit`, or nullptr. A waiter missing from employees is inserted there with its ID as Id,
// its Code and an empty Name.
const tValue* LoadWaiters(tCashServerCall& call, int32_t unit, tValueList& employees);

// Writes `list` as UTF-16LE CSV with the byte-order mark FF FE, one line per entry in list
// order: Id;Code;"Name";LINK CR LF. Name is written unescaped. LINK is eight upper-case hex
// digits derived from the linked entry's address, the same for entries sharing a link and
// distinct for distinct links within one file; 00000000 for none. Replaces an existing
// file; throws the file system's failure when it cannot be written.
void DumpMetaList(const tValueList& list, const std::string& fileName);

// The CSV file names of the four lists in the log folder.
inline constexpr const char* kClassesCsvName = "Classes.csv";
inline constexpr const char* kDishesCsvName = "Dishes.csv";
inline constexpr const char* kModifiersCsvName = "Modifiers.csv";
inline constexpr const char* kEmployeesCsvName = "Employees.csv";

}  // namespace q2
