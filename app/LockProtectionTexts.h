#pragma once

// What a lock holds, as the Files list and keycrate-send tell it.
namespace LockProtectionTexts {

inline constexpr char Protected[] = "Protected: no program can change, rename or delete it";
inline constexpr char Advisory[] = "Advisory only: only programs that check for locks respect it";

} // namespace LockProtectionTexts
