"""Per-packet cost of the VIP checker and of a predictor built on BaseVIPPredictor.

Prints, for 640x480 and 1920x1080 RGB frames: packets per second through the checker alone,
through an inverting predictor (frame conversion, model, re-encoding), and through a
passthrough predictor; and, as the baseline, the bare numpy work of the inverting predictor
(reshape, invert, copy) with no per-packet bookkeeping.

    python bench/video_models.py
"""

import time

import numpy as np

from corvane.protocols.avalon_st.sarnel import IntelVIPFrameCodec
from corvane.protocols.avalon_st.sarnel.checker import VIPProtocolChecker
from corvane.sim.models.sarnel import BaseVIPPredictor, PacketExpectation
from corvane.video import FrameSize, VideoFormat

FORMAT = VideoFormat()


class Invert:
    def process(self, frame):
        return 255 - frame


class Predictor(BaseVIPPredictor):
    def __init__(self, passthrough):
        codec = IntelVIPFrameCodec(FORMAT)
        super().__init__(Invert(), codec, codec, support_passthrough=passthrough)

    def get_tolerance(self):
        return 0

    def _process_user_packet(self, packet):
        return PacketExpectation(packet=packet)


def rate(action, seconds=0.5):
    count, start = 0, time.perf_counter()
    while (elapsed := time.perf_counter() - start) < seconds:
        action()
        count += 1
    return count / elapsed


def main():
    codec = IntelVIPFrameCodec(FORMAT)
    for size in (FrameSize(640, 480), FrameSize(1920, 1080)):
        frame = np.random.default_rng(0).integers(0, 256, (size.height, size.width, 3), np.uint8)
        control, video = codec.control_packet(size), codec.frame_to_video_packet(frame, size)
        checker = VIPProtocolChecker(FORMAT)
        checker.observe(control)
        active, passthrough = Predictor(False), Predictor(True)
        for predictor in (active, passthrough):
            predictor.process_packet(control)
        shape = (size.height, size.width, 3)
        figures = {
            "checker.observe(video)": rate(lambda: checker.observe(video)),
            "inverting predictor": rate(lambda: active.process_packet(video)),
            "passthrough predictor": rate(lambda: passthrough.process_packet(video)),
            "numpy baseline (invert)": rate(
                lambda: (255 - np.array(video.payload).reshape(shape)).reshape(-1).copy()),
        }
        print(f"{size} RGB ({FORMAT.frame_symbol_count(size)} symbols per video packet)")
        for name, value in figures.items():
            print(f"  {name:26s} {value:12.0f} packets/s")


if __name__ == "__main__":
    main()
