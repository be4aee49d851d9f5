#pragma once

#include <string>
#include <string_view>

#include "lists/ListFile.h"

// How the window words a failed list-file command, as Shift_JIS bytes: `shownPath` as the window shows paths.
// Qt-free, so the list file's tests read it the same way.
namespace texts {

inline constexpr std::string_view kFile = "\x83\x74\x83\x40\x83\x43\x83\x8b ";                        // ファイル
inline constexpr std::string_view kCannotOpen = " \x82\xcd\x8a\x4a\x82\xaf\x82\xdc\x82\xb9\x82\xf1";  // は開けません
inline constexpr std::string_view kCannotCreate =
    " \x82\xf0\x8d\xec\x90\xac\x82\xc5\x82\xab\x82\xdc\x82\xb9\x82\xf1";  // を作成できません
// ストリームへの書き込みエラー
inline constexpr std::string_view kWriteFailed =
    "\x83\x58\x83\x67\x83\x8a\x81\x5b\x83\x80\x82\xd6\x82\xcc\x8f\x91\x82\xab\x8d\x9e\x82\xdd\x83\x47\x83\x89\x81\x5b";
// 文字列の大きさが メモ の制限を越えました
inline constexpr std::string_view kTooLarge =
    "\x95\xb6\x8e\x9a\x97\xf1\x82\xcc\x91\xe5\x82\xab\x82\xb3\x82\xaa \x83\x81\x83\x82 \x82\xcc\x90\xa7\x8c\xc0\x82\xf0"
    "\x89\x7a\x82\xa6\x82\xdc\x82\xb5\x82\xbd";

inline std::string listFileMessage(const ListFileError& e, std::string_view shownPath) {
    switch (e.kind()) {
        case ListFileError::Kind::CannotOpen:
            return std::string(kFile).append(shownPath).append(kCannotOpen);
        case ListFileError::Kind::CannotCreate:
            return std::string(kFile).append(shownPath).append(kCannotCreate);
        case ListFileError::Kind::WriteFailed:
            return std::string(kWriteFailed);
        case ListFileError::Kind::TooLarge:
            break;
    }
    return std::string(kTooLarge);
}

}  // namespace texts
