"""Real-audio test: an RTP tone through relaysim and the stand-in reflector into ffmpeg."""
import math
import os
import re
import socket
import subprocess
import tempfile
import time
import wave

from harness import LOOPBACK, Program, Tests, binaries, free_port

BIN = binaries()
TONE_HZ = 700


def free_port_pair():
    """An even port whose successor is free too (RTP and RTCP for ffmpeg)."""
    for _ in range(200):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.bind((LOOPBACK, 0))
            port = s.getsockname()[1] & ~1
        try:
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as a, \
                    socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as b:
                a.bind((LOOPBACK, port))
                b.bind((LOOPBACK, port + 1))
                return port
        except OSError:
            continue
    raise AssertionError("no free port pair")


def power(samples, rate, hz):
    """Goertzel power of one frequency."""
    k = 2 * math.cos(2 * math.pi * hz / rate)
    s1 = s2 = 0.0
    for x in samples:
        s1, s2 = x + k * s1 - s2, s1
    return s1 * s1 + s2 * s2 - k * s1 * s2


def dominant(samples, rate):
    coarse = max(range(100, rate // 2 - 100, 25), key=lambda f: power(samples, rate, f))
    return max(range(coarse - 25, coarse + 26, 2), key=lambda f: power(samples, rate, f))


class AudioTests(Tests):
    def test_tone_reaches_a_real_rtp_receiver(self):
        with tempfile.TemporaryDirectory() as tmp:
            refl = Program([BIN["reflector"], "-a", LOOPBACK, "-e", "0", "-d", "0"])
            procs = [refl]
            try:
                m = refl.wait_for(r"encoder port (\d+) decoder port (\d+)\n", 10)
                enc, dec = m.group(1), m.group(2)
                local = free_port()
                player = free_port_pair()
                sim = Program([BIN["relaysim"], "-n", "2", "-d", "-e", "-l", str(local),
                               "-r", "%s:%s" % (LOOPBACK, enc), "-pd", dec,
                               "-p", "%s:%d" % (LOOPBACK, player)])
                procs.append(sim)
                src = Program([BIN["rtp_source"], "-t", "%s:%d" % (LOOPBACK, local),
                               "-f", str(TONE_HZ)])
                procs.append(src)
                sim.wait_for(r"Online \[Total online: 2\]", 30)

                sdp = os.path.join(tmp, "player.sdp")
                with open(sdp, "w") as f:
                    f.write("v=0\no=- 0 0 IN IP4 %s\ns=relaysim\nc=IN IP4 %s\nt=0 0\n"
                            "m=audio %d RTP/AVP 0\na=rtpmap:0 PCMU/8000\n"
                            % (LOOPBACK, LOOPBACK, player))
                wav = os.path.join(tmp, "heard.wav")
                ffmpeg = subprocess.Popen(
                    ["ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error",
                     "-protocol_whitelist", "file,udp,rtp", "-i", sdp, "-t", "3",
                     "-ac", "1", "-ar", "8000", "-c:a", "pcm_s16le", "-y", wav],
                    stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
                time.sleep(1.0)  # ffmpeg binds its ports before the stream is selected
                sim.send("1\n")
                sim.wait_for(r"reflector stream online\. streaming to 127\.0\.0\.1:%d" % player, 15)
                out, _ = ffmpeg.communicate(timeout=60)
                assert ffmpeg.returncode == 0, out.decode(errors="replace")

                with wave.open(wav) as w:
                    rate = w.getframerate()
                    frames = w.readframes(w.getnframes())
                samples = [int.from_bytes(frames[i:i + 2], "little", signed=True)
                           for i in range(0, len(frames), 2)]
                assert len(samples) >= rate * 2, "only %d samples" % len(samples)
                part = samples[rate // 2: rate // 2 + rate]
                hz = dominant(part, rate)
                assert abs(hz - TONE_HZ) <= 10, "dominant frequency %d Hz" % hz
                rms = math.sqrt(sum(x * x for x in part) / len(part))
                assert rms > 3000, "tone too quiet: rms %.0f" % rms
            finally:
                for p in reversed(procs):
                    p.stop()


if __name__ == "__main__":
    AudioTests().run()
