// Anchors the base library; the base utilities are header-only.
namespace lorvane {}
