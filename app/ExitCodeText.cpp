#include "app/ExitCodeText.h"

#include "common/GpFormat.h"

void ExitCodeText(int nExitCode, int nExtInfo, wchar_t* pBuf, size_t cchBuf)
{
    // One text per line, as the boxes show them (a formatter would split them mid-sentence).
    // clang-format off
    static const wchar_t* const texts[] = {
        L"アップデートに失敗しました。\r\n拡張エラー情報(%d)", // 10 and anything unknown
        L"既に起動されています",
        L"コマンドライン引数が不正です",
        L"指定されたパッチが見つかりません\r\n拡張エラー情報(%d)",
        L"アップデートは実行されませんでした",
        L"Quovera Client をログアウトできなかったため、\r\nアップデートは実行されませんでした\r\n拡張エラー情報(%d)",
        L"現在の Quovera Client のバージョンでは\r\n対応していないオプションが指定されました\r\n拡張エラー情報(%d)",
        L"ログの送信が行えませんでした。\r\nネットワーク・サーバー設定の\r\n再確認を行なってください",
        L"アップデート情報の取得中にエラーが発生しました。\r\n拡張エラー情報(%d)",
        L"アップデート中にエラーが発生しました。\r\n拡張エラー情報(%d)",
    };
    // clang-format on
    const wchar_t* pszFormat = (nExitCode >= 1 && nExitCode <= 9) ? texts[nExitCode] : texts[0];
    GpFormat(pBuf, cchBuf, pszFormat, nExtInfo);
}
