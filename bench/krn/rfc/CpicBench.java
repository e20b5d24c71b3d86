import com.weq.conn.rfc.driver.CpicDriver;
import java.io.BufferedReader;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.util.Arrays;

/**
 * Echo round trips through the CpicDriver natives (nativeCMSEND, then nativeCpic_coxread into
 * 32,000 bytes) beside the C++ round trips of the same kind (BM_RoundTrip of cpic_bench, given as
 * arguments in ns for 64 and 4096 bytes), against gw_peer (first argument); and
 * nativeCpicGetVersion beside an empty Java method. Each figure is the median of 25 rounds.
 */
public final class CpicBench {
  static int sink;

  static void empty(int[] v) {
    sink += v.length;
  }

  static double median(long[] t, int calls) {
    Arrays.sort(t);
    return (double) t[t.length / 2] / calls;
  }

  public static void main(String[] args) throws Exception {
    System.loadLibrary("tovnative");
    CpicDriver d = new CpicDriver();
    if (d.INIT() != 0) throw new IllegalStateException("INIT");
    Process peer = new ProcessBuilder(args[0], "gateway", "--quiet", "--lifetime", "600", "--parent",
        Long.toString(ProcessHandle.current().pid())).redirectError(ProcessBuilder.Redirect.DISCARD).start();
    try {
      String line = new BufferedReader(new InputStreamReader(peer.getInputStream(), StandardCharsets.US_ASCII))
          .readLine();
      String serv = line.substring(5).trim();
      byte[] id = new byte[8];
      Arrays.fill(id, (byte) ' ');
      if (d.nativeWEQ_CMINIT3(id, "BENCH", "lu", "echo", "127.0.0.1", serv, "I", 0, 0, 0, null, null, null) != 0
          || d.nativeCMALLC(id) != 0) {
        throw new IllegalStateException("no conversation");
      }
      byte[] buf = new byte[32000];
      int[] res = new int[3];
      int[] sizes = {64, 4096};
      for (int k = 0; k < sizes.length; k++) {
        byte[] data = new byte[sizes[k]];
        Arrays.fill(data, (byte) 'r');
        final int calls = 2000;
        long[] t = new long[25];
        for (int r = -5; r < t.length; r++) {
          long s = System.nanoTime();
          for (int i = 0; i < calls; i++) {
            d.nativeCMSEND(id, data, data.length);
            if (d.nativeCpic_coxread(id, 0, buf, res) != 0 || res[2] != data.length) {
              throw new IllegalStateException("receive failed");
            }
          }
          if (r >= 0) t[r] = System.nanoTime() - s;
        }
        double ns = median(t, calls);
        double cxx = Double.parseDouble(args[1 + k]);
        System.out.printf("%-34s %10.1f ns%n", "BM_JniRoundTrip/" + sizes[k], ns);
        System.out.printf("%-34s %10.1f ns   ratio %.2f (aim 1.3)%n", "BM_JniRoundTrip__CxxRoundTrip/" + sizes[k], cxx,
            ns / cxx);
      }
      d.nativeCMDEAL(id);
      int[] v = new int[2];
      final int calls = 1_000_000;
      long[] tn = new long[25];
      long[] te = new long[25];
      for (int r = -5; r < tn.length; r++) {
        long s = System.nanoTime();
        for (int i = 0; i < calls; i++) d.nativeCpicGetVersion(v);
        long m = System.nanoTime();
        for (int i = 0; i < calls; i++) empty(v);
        long e = System.nanoTime();
        if (r >= 0) {
          tn[r] = m - s;
          te[r] = e - m;
        }
      }
      System.out.printf("%-34s %10.1f ns   (aim under 100)%n", "BM_JniGetVersion", median(tn, calls));
      System.out.printf("%-34s %10.1f ns%n", "BM_JniGetVersion__EmptyJavaMethod", median(te, calls));
    } finally {
      peer.destroyForcibly();
    }
  }
}
