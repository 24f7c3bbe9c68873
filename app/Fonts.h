#pragma once

// The interface asks for "Microsoft Yahei" (微软雅黑), which only Windows has. Elsewhere the same
// family names are mapped onto an installed CJK font so that no text renders as empty boxes.
void installFontSubstitutes();
