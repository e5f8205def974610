// The snapshot the bridge driver submits, rebuilt in the test program from
// the camera's own source: the frame is drawn from the levels it was
// rendered from, which the bridge driver reports per frame.
#include "camera_model.h"
#include "wine_checks.h"

bool RenderedSnapshot(uint32_t levels, uint32_t width, uint32_t height, std::vector<uint8_t>* frame) {
    if (width == 0 || height == 0 || width > 4096 || height > 4096) {
        return false;
    }
    frame->assign(size_t(width) * height * 3, 0);
    CameraRenderLevels(CameraUnpackStatistics(levels), width, height, frame->data());
    return true;
}
