#include "session/host_view.h"

std::shared_ptr<ofxhost::Image> hostView(const Pixels& pixels) {
  auto view = std::make_shared<ofxhost::Image>();
  const int rowFloats = pixels.width * pixels.channels;
  view->data = const_cast<float*>(pixels.data) + size_t(pixels.height - 1) * size_t(rowFloats);
  view->rowBytes = -rowFloats * int(sizeof(float));
  view->bounds = {pixels.x, pixels.y, pixels.x + pixels.width, pixels.y + pixels.height};
  view->depth = ofxhost::PixelDepth::Float;
  view->components = pixels.channels == 1   ? ofxhost::Components::Alpha
                     : pixels.channels == 3 ? ofxhost::Components::RGB
                                            : ofxhost::Components::RGBA;
  return view;
}
