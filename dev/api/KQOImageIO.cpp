// Loading and saving KQRGBImage files by type code. The format knowledge
// lives in the readers and writers; this only dispatches and records.
#include "KQOImage.h"

#include "KQOFile.h"
#include "KQOImageDIB.h"
#include "KQOImageGIF.h"
#include "KQOImageImpExp.h"

namespace {

const char* const kSourceFile = ".\\KQOImage";

const int32 kErrNoFileName = 1103;
const int32 kErrDetectFailed = 1303;
const int32 kErrUnsupportedFormat = 1805;

// Lines of the raising sites; the two builds number them differently.
#ifdef KQ_UNICODE
const int32 kLineLoadDetect = 1470;
const int32 kLineLoadBMP = 1488;
const int32 kLineLoadType = 1513;
const int32 kLineSaveName = 1540;
#else
const int32 kLineLoadDetect = 1399;
const int32 kLineLoadBMP = 1417;
const int32 kLineLoadType = 1442;
const int32 kLineSaveName = 1469;
#endif

}  // namespace

int32 KQRGBImage::DetectFileType(const KQString& fileName)
{
    if (fileName.GetLength() == 0 || !KQFileAccess(fileName.CStr(), 0))
        return KQ_IMAGE_TYPE_NONE;
    if (KQIsBMPFile(fileName))
        return KQ_IMAGE_TYPE_BMP;
    if (KQIsSGIFile(fileName))
        return KQ_IMAGE_TYPE_SGI;
    return KQ_IMAGE_TYPE_NONE;
}

bool KQRGBImage::Load(const KQString& fileName, int32 type, int32* loadedType)
{
    if (loadedType)
        *loadedType = KQ_IMAGE_TYPE_NONE;
    if (type == KQ_IMAGE_TYPE_NONE) {
        type = DetectFileType(fileName);
        if (type == KQ_IMAGE_TYPE_NONE)
            return SetError(KQErrorLocation(kSourceFile, "KQRGBImage::Load()", kLineLoadDetect), kErrDetectFailed,
                            KQString());
    }
    loadMarker = 1;
    if (type == KQ_IMAGE_TYPE_BMP) {
        KQDIBSection section;
        if (!section.Load(fileName))
            return SetErrorFrom(KQErrorLocation(kSourceFile, "KQRGBImage::Load()", kLineLoadBMP), section,
                                static_cast<const char*>(nullptr));
        if (!Set(&section, nullptr, nullptr))
            return false;
        if (loadedType)
            *loadedType = KQ_IMAGE_TYPE_BMP;
        return true;
    }
    if (type == KQ_IMAGE_TYPE_SGI) {
        if (!KQLoadSGIImage(fileName, *this))
            return false;
        if (loadedType)
            *loadedType = KQ_IMAGE_TYPE_SGI;
        return true;
    }
    return SetError(KQErrorLocation(kSourceFile, "KQRGBImage::Load()", kLineLoadType), kErrUnsupportedFormat,
                    KQString());
}

bool KQRGBImage::Save(int32 type, const KQString& fileName)
{
    if (!pixels)
        return false;
    if (fileName.GetLength() == 0)
        return SetError(KQErrorLocation(kSourceFile, "KQRGBImage::Save()", kLineSaveName), kErrNoFileName, KQString());
    switch (type) {
    case KQ_IMAGE_TYPE_PPM:
        return KQImageSaveRGBDataToPPM(pixels, size, fileName);
    case KQ_IMAGE_TYPE_SGI:
        return KQImageSaveRGBDataToSGIRGB(pixels, size, fileName);
    case KQ_IMAGE_TYPE_TIFF:
        return KQImageSaveRGBDataToTIFF(pixels, size, fileName);
    case KQ_IMAGE_TYPE_BMP:
        return KQImageSaveRGBDataToBMP(pixels, size, fileName);
    case KQ_IMAGE_TYPE_GIF:
        return KQImageSaveRGBDataToGIF(pixels, size, fileName);
    case KQ_IMAGE_TYPE_EPS:
        return KQImageSaveRGBDataToEPS(pixels, size, fileName, bytesPerPixel);
    default:
        return false;
    }
}
