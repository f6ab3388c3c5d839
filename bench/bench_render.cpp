// The stand-in bridge's software renderer: one rgb+depth frame of the default arm with a mounted
// gripper over the ground grid and sky, at 1280x720 and 1920x1080, reported in ms per frame.
// RenderFrame is the renderer alone; CaptureFrame is a whole capture through the world (scene
// built from the joint state, render, binary frame encoding), with simulated time advanced by one
// camera period between captures so that every capture renders anew. Both run on one thread and
// report ms per frame: "Time" wall-clock, "CPU" the thread's own time (the figure to quote on a
// busy machine).

#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "renderer.hpp"
#include "robot_model.hpp"
#include "world.hpp"

namespace {

using namespace strandel::mock_bridge;

/// The arm in a bent pose (so that bones run in every screen direction) with a closed gripper on
/// tool0, placed as the world places its first articulation.
Scene armScene() {
  const RobotModel& arm = defaultArm();
  const std::vector<double> positions = {0.6, 0.8, 1.1, -0.5, 0.3, 0.0};
  const std::vector<Transform> poses = arm.linkPoses(positions, Transform{});
  Figure figure = armFigure(arm, poses);
  figure.gripper = poses[*arm.linkIndex("tool0")];
  figure.gripper_closed = true;
  Scene scene;
  scene.figures.push_back(std::move(figure));
  return scene;
}

void RenderFrame(benchmark::State& state) {
  const Scene scene = armScene();
  CameraView view;
  view.width = static_cast<int>(state.range(0));
  view.height = static_cast<int>(state.range(1));
  for (auto _ : state) {
    Images images = render(scene, view);
    benchmark::DoNotOptimize(images.rgb.data());
    benchmark::DoNotOptimize(images.depth.data());
    benchmark::ClobberMemory();
  }
}

void CaptureFrame(benchmark::State& state) {
  World world;
  world.articulations.create(CreateArticulation{"/World/arm", std::nullopt});
  world.grippers.create(CreateGripper{"/World/arm/tool0/gripper"});
  world.articulations.assemble("arm",
                               AssembleRobot{"gripper", "tool0", std::nullopt, std::nullopt, true});
  world.articulations.setJointPositions(
      "arm", JointTargets{{0.6, 0.8, 1.1, -0.5, 0.3, 0.0}, std::nullopt});
  const double frequency = 30.0;
  world.cameras.create(CreateCamera{
      "/World/cam", Resolution{static_cast<int>(state.range(0)), static_cast<int>(state.range(1))},
      frequency});
  for (auto _ : state) {
    std::string frame = world.cameras.capture("cam", Capture{});
    benchmark::DoNotOptimize(frame.data());
    state.PauseTiming();
    world.step(1.0 / frequency);
    state.ResumeTiming();
  }
}

}  // namespace

BENCHMARK(RenderFrame)
    ->Args({1280, 720})
    ->Args({1920, 1080})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(CaptureFrame)
    ->Args({1280, 720})
    ->Args({1920, 1080})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

BENCHMARK_MAIN();
