// Forward declarations of the drawing library's types, for headers that only pass them around.
#pragma once

struct RECT;
using PRECT = RECT*;
using PCRECT = const RECT*;
struct Point;
struct Size;
class CRect;
class LineRaster;
class CRegion;
struct GraphicsSurface;
struct GraphicsLayer;
struct GraphicsObject;
class IGraphicsManager;
class CGraphicsManager;
class ICursor;
class CCursor;
class IMouse;
class CDevMouse;
class IGDI;
class CGDI;
