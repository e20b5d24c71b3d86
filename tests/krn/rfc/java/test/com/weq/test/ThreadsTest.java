package com.weq.test;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.weq.conn.rfc.driver.CpicDriver;
import com.weq.conn.rfc.engine.Compress;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Random;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;
import org.junit.jupiter.api.Test;

/**
 * Many Java threads call the natives and end: the per-thread records of every layer go with
 * them, for threads that ended before INIT as well as after it. Runs on the probe copy of the
 * library (tov.lib=tovnative_probe).
 */
class ThreadsTest {
  /** Waits until the live counts are back at start or the deadline passes; the last counts. */
  static int[] awaitCounts(int[] start, long deadlineMs) throws InterruptedException {
    long end = System.currentTimeMillis() + deadlineMs;
    int[] now = Probe.counts();
    while (!Arrays.equals(now, start) && System.currentTimeMillis() < end) {
      // A thread's native records go in its last steps, after Java has seen it end.
      Thread.onSpinWait();
      Thread.yield();
      now = Probe.counts();
    }
    return now;
  }

  static void runThreads(int n, Runnable body) throws InterruptedException {
    List<Thread> threads = new ArrayList<>();
    for (int i = 0; i < n; i++) {
      Thread t = new Thread(body);
      t.start();
      threads.add(t);
    }
    for (Thread t : threads) {
      t.join(60_000);
      assertTrue(!t.isAlive(), "thread ends within 60 s");
    }
  }

  @Test
  void fiveHundredThreadsLeaveNoRecords() throws Exception {
    Lib.load();
    int[] start = Probe.counts();
    AtomicInteger bad = new AtomicInteger();
    // A live thread that touched the layers holds records: the probe sees them.
    CountDownLatch touched = new CountDownLatch(1);
    CountDownLatch release = new CountDownLatch(1);
    Thread holder = new Thread(() -> {
      Probe.touchLayers();
      touched.countDown();
      try {
        release.await();
      } catch (InterruptedException e) {
        Thread.currentThread().interrupt();
      }
    });
    holder.start();
    assertTrue(touched.await(30, TimeUnit.SECONDS));
    int[] held = Probe.counts();
    assertTrue(held[1] > start[1] && held[4] > start[4], Arrays.toString(held));
    release.countDown();
    holder.join(30_000);
    assertArrayEquals(start, awaitCounts(start, 30_000), "after the holder ended");
    // Before INIT.
    runThreads(50, () -> {
      Probe.touchLayers();
      int h = Compress.CsRGetHandle();
      if (h < 302) bad.incrementAndGet();
      Compress.CsRCloseHandle(h);
    });
    assertArrayEquals(start, awaitCounts(start, 30_000), "after threads ended before INIT");

    assertEquals(0, new CpicDriver().INIT());
    start = Probe.counts();
    runThreads(500, () -> {
      if (new CpicDriver().INIT() != 0) bad.incrementAndGet();
      Probe.touchLayers();
      Random g = new Random(Thread.currentThread().getId());
      byte[] data = Streams.random(3000, g.nextLong());
      byte[] s = Streams.compress(data, 0, g, 4128, 2080);
      if (!Arrays.equals(data, Streams.decompress(s, g, 2080, 4128))) bad.incrementAndGet();
    });
    assertEquals(0, bad.get());
    assertArrayEquals(start, awaitCounts(start, 30_000), "after 500 threads ended");
  }
}
